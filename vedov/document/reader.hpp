// Reading the system record from a parsed document.
#pragma once

#include "vedov/document/node_tree.hpp"
#include "vedov/system_geom.hpp"

namespace vedov {

namespace document {

/// The system record held by the one document of `tree`. Fails with "EOF while parsing a value"
/// when the stream has no document, with the more-than-one-document error when it has several,
/// and with the content error of the first node that does not fit the record.
SystemGeom read_system(const Tree& tree);

}  // namespace document

}  // namespace vedov
