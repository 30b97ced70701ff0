// The lattices of a system's measurement lists and the tables of their compatible pairs, for the
// covariance operator (Python-free).
#pragma once

#include <memory>

#include "vedov/system_geom.hpp"
#include "vedovx/native/requests.hpp"
#include "zam/parallel.hpp"
#include "zam/structured.hpp"

namespace vedovx {

/// The whole covariance of two lists, as its structured evaluation sees it.
struct Structure {
    std::unique_ptr<zam::StructuredCovMat> matrix;  ///< every row and column of both lists
    zam::PairTables tables;  ///< every compatible pair's table over the lists' whole boxes
};

/// Finds the lattices of the covariance `request`'s lists of `system` (every entry, whatever its
/// selections) and, when `tables` is true, evaluates the table of every compatible pair at its lag,
/// with its model and over its layers, inside the current arena; tables are left partly computed
/// once `progress.cancelled` is set.
Structure structure(const vedov::SystemGeom& system, const Request& request, bool tables,
                    zam::Progress& progress);

}  // namespace vedovx
