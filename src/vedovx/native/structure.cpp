// The lattices of two measurement lists and every compatible pair's table over whole lists.
#include "vedovx/native/structure.hpp"

#include <numeric>
#include <vector>

namespace vedovx {

Structure structure(const vedov::SystemGeom& system, const Request& request, bool tables,
                    zam::Progress& progress) {
    const std::span<const zam::Measurement> row_list = measurements(system, request.rows);
    const std::span<const zam::Measurement> col_list = measurements(system, request.cols);
    std::vector<std::size_t> all_rows(row_list.size()), all_cols(col_list.size());
    std::iota(all_rows.begin(), all_rows.end(), std::size_t{0});
    std::iota(all_cols.begin(), all_cols.end(), std::size_t{0});
    Structure s;
    s.matrix = std::make_unique<zam::StructuredCovMat>(
        row_list, std::move(all_rows), col_list, std::move(all_cols), layers_of(system, request),
        request.lag, zam::simd_level(), request.model);
    if (tables) s.tables = s.matrix->tables(progress);
    return s;
}

}  // namespace vedovx
