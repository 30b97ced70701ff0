// The YAML system document: a system record to and from text and files.
#pragma once

#include <string>
#include <string_view>

#include "vedov/system_geom.hpp"

namespace vedov {

// Failures throw zam::Failure whose message starts with document::failure_prefix.

/// The document text of `system`.
std::string to_yaml(const SystemGeom& system);

/// The system held by document text: UTF-8 with exactly one document. Any input either gives a
/// record or fails; hostile nesting or aliases fail early and cheaply.
SystemGeom from_yaml(std::string_view text);

/// Writes the document of `system` to the file; the whole text is built before the file is
/// touched, and the file then holds either its old content or the complete document.
void save_yaml(const SystemGeom& system, const std::string& filename);

/// Reads the system from the document in the file.
SystemGeom load_yaml(const std::string& filename);

}  // namespace vedov
