// Writing the system record as document text.
#pragma once

#include <string>

#include "vedov/system_geom.hpp"

namespace vedov::document {

/// The whole document for `system`: block style, keys in field order, the number format of
/// write_float, [] for empty sequences, no document markers, a final line feed.
std::string write_system(const SystemGeom& system);

}  // namespace vedov::document
