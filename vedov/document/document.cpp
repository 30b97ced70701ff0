// Entry points of the system document: text conversion and file access composed.
#include "vedov/document/document.hpp"

#include "vedov/document/errors.hpp"
#include "vedov/document/files.hpp"
#include "vedov/document/node_tree.hpp"
#include "vedov/document/reader.hpp"
#include "vedov/document/utf8.hpp"
#include "vedov/document/writer.hpp"

namespace vedov {

std::string to_yaml(const SystemGeom& system) {
    return document::write_system(system);
}

SystemGeom from_yaml(std::string_view text) {
    if (!document::is_valid_utf8(text)) document::fail_invalid_utf8();
    // The whole stream is parsed first: a syntax error anywhere is reported before any content.
    const document::Tree tree = document::parse_stream(text);
    return document::read_system(tree);
}

void save_yaml(const SystemGeom& system, const std::string& filename) {
    const std::string text = to_yaml(system);
    document::write_file(filename, text);
}

SystemGeom load_yaml(const std::string& filename) {
    return from_yaml(document::read_file(filename));
}

}  // namespace vedov
