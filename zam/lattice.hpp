// Lattices of a measurement list: runs of like measurements whose points sit on one square grid.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "zam/geometry.hpp"
#include "zam/measurement.hpp"

namespace zam {

/// A square lattice of the pupil plane: site (i, j) lies at origin + i·u + j·v, where v is u
/// turned a quarter turn anticlockwise; |u| is the pitch, and of the four basis vectors of the
/// lattice u is the one nearest the +x axis.
struct LatticeFrame {
    Vec2D origin;
    Vec2D u;

    Vec2D v() const noexcept { return {-u.y, u.x}; }
    double pitch() const noexcept { return norm(u); }
    /// The position of site (i, j), computed as origin + i·u + j·v.
    Vec2D at(std::int64_t i, std::int64_t j) const noexcept {
        const double di = static_cast<double>(i);
        const double dj = static_cast<double>(j);
        return {origin.x + (di * u.x - dj * u.y), origin.y + (di * u.y + dj * u.x)};
    }
};

/// A run of measurements [first, last) of a list that share everything but their point at
/// z = 0 (kind, source direction and altitude, edge length and separation, gradient axis, sample
/// count), those points lying on one square lattice: their covariance with another lattice's
/// members at the same pitch, orientation and source altitude depends only on the difference of
/// their sites.
struct Lattice {
    std::size_t first;
    std::size_t last;
    LatticeFrame frame;
    /// The members' source altitude: +inf for parallel lines (every phase sample).
    double altitude;
    /// Largest distance between a member's point and its site's position that the lattice
    /// accepts.
    double tolerance;
    std::int64_t min_i, max_i, min_j, max_j;  ///< the box of the members' sites

    /// The box's centre site (rounded down).
    std::int64_t centre_i() const noexcept { return min_i + (max_i - min_i) / 2; }
    std::int64_t centre_j() const noexcept { return min_j + (max_j - min_j) / 2; }
    /// The box's larger side, in sites.
    std::int64_t span() const noexcept { return std::max(max_i - min_i, max_j - min_j) + 1; }
};

/// Where a measurement sits: the index of its lattice in ListStructure::lattices and its site,
/// or no lattice (-1).
struct LatticeSite {
    std::ptrdiff_t lattice = -1;
    std::int64_t i = 0;
    std::int64_t j = 0;
};

/// A run of two or more measurements that share their fields but form no lattice, and why.
struct BrokenRun {
    std::size_t first;
    std::size_t last;
    std::string reason;
};

/// The lattices of a measurement list.
struct ListStructure {
    std::vector<Lattice> lattices;
    std::vector<LatticeSite> sites;  ///< one per measurement of the list
    std::vector<BrokenRun> broken;
};

/// Groups a list into lattices. Runs are maximal sequences of adjacent measurements of one kind
/// (Phase or SlopeTwoEdge; the other kinds never join) with equal fields apart from the point; a
/// run of two or more becomes a lattice when its points, in any order and any subset of the grid
/// (repeats allowed), lie on a square lattice: indices recovered by rounding, every point within
/// the tolerance of its site (16 units in the last place of the run's largest coordinate, and at
/// most 1e-9 of the pitch), and the sites' box no larger than four times the number of members
/// plus 64. Slopes need a source altitude that is +inf or finite and non-zero, and finite fields.
ListStructure find_lattices(std::span<const Measurement> list);

/// True when every pair of a member of `a` and a member of `b` has the same separation at every
/// layer as any other pair of the same site difference: equal source altitude, and frames whose
/// pitch and orientation agree within the lattices' tolerance over both boxes.
bool compatible(const Lattice& a, const Lattice& b) noexcept;

/// The measurement of `lattice` (a lattice of `list`) at site (i, j): its first member with the
/// point at z = 0 moved to the site's position.
Measurement lattice_member(std::span<const Measurement> list, const Lattice& lattice,
                           std::int64_t i, std::int64_t j);

}  // namespace zam
