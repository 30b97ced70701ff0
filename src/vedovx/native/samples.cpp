// Science phase samples: vedov's phase-sample grid seen from any direction and source altitude.
#include "vedovx/native/samples.hpp"

#include <algorithm>
#include <limits>

#include "vedov/builders.hpp"
#include "vedov/grids.hpp"
#include "zam/failure.hpp"

namespace vedovx {

std::vector<zam::Measurement> phase_samples_toward(double teldiam, std::size_t nsamples,
                                                   std::span<const zam::Vec2D> directions,
                                                   double altitude) {
    const std::size_t count = zam::checked_mul(vedov::grid_size(nsamples), directions.size());
    zam::check_capacity<zam::Measurement>(count);
    std::vector<zam::Measurement> block;
    block.reserve(count);
    if (count == 0) return block;
    const std::vector<zam::Vec2D> grid = vedov::cell_centre_grid(teldiam, nsamples);
    const bool at_infinity = altitude >= std::numeric_limits<double>::infinity();
    for (const zam::Vec2D& d : directions) {
        const double xz = d.x * vedov::arcsecond;
        const double yz = d.y * vedov::arcsecond;
        for (const zam::Vec2D& p : grid) {
            if (at_infinity) {
                block.push_back(zam::Phase{{p.x, xz, p.y, yz}});
            } else {
                // Toward the direction's point at the source's altitude, as a slope's lines head
                // for a laser guide star.
                block.push_back(zam::Phase{
                    zam::Line::through({p.x, p.y, 0.0}, {xz * altitude, yz * altitude, altitude})});
            }
        }
    }
    return block;
}

void append_all(std::vector<zam::Measurement>& list, const std::vector<zam::Measurement>& block) {
    const std::size_t needed = zam::checked_add(list.size(), block.size());
    if (needed > list.capacity()) {
        zam::check_capacity<zam::Measurement>(needed);
        const std::size_t doubled = list.capacity() <= list.max_size() / 2
                                        ? list.capacity() + list.capacity()
                                        : list.max_size();
        list.reserve(std::max(needed, doubled));
    }
    list.insert(list.end(), block.begin(), block.end());
}

}  // namespace vedovx
