// Covariance matrices whose lattice pairs are read from tables indexed by site difference.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <unordered_map>
#include <vector>

#include "zam/covmat.hpp"
#include "zam/lattice.hpp"
#include "zam/parallel.hpp"

namespace zam {

/// The table of one pair of compatible lattices (a row lattice A, a column lattice B): the
/// covariance of A's member at site a with B's member at site b, for the site differences
/// d = a - b with d.i in [min_i, min_i + count_i) and d.j in [min_j, min_j + count_j), at
/// values[offset + (d.i - min_i) · stride + (d.j - min_j)].
struct PairTable {
    std::size_t row_lattice;  ///< index of A in the rows' ListStructure
    std::size_t col_lattice;  ///< index of B in the columns' ListStructure
    std::int64_t min_i;
    std::int64_t min_j;
    std::size_t count_i;
    std::size_t count_j;
    std::size_t offset;
};

/// Every table of an evaluation, back to back with one row stride.
struct PairTables {
    std::vector<PairTable> pairs;
    std::vector<double> values;
    std::size_t stride = 0;
};

/// The covariance of chosen rows and columns of two measurement lists as CovMat defines it, where
/// a row of a lattice A and a column of a lattice B compatible with A (find_lattices, compatible)
/// take their element from the pair's table: the CovMat element of A's member at A's centre site
/// with B's member at the site of the same difference (lattice_member). Since such elements
/// depend only on the site difference, they differ from CovMat's own by rounding alone. Every
/// other element is CovMat's, bit for bit.
///
/// Lattices are those of the whole lists and each table entry depends only on its pair and its
/// difference, so any block of rows and columns has the elements of the same block of the whole
/// matrix, for any number of workers.
class StructuredCovMat {
public:
    /// rows and cols: the chosen entries of each list, in order (repeats allowed); an index past
    /// its list fails with the index failure.
    StructuredCovMat(std::span<const Measurement> row_list, std::vector<std::size_t> rows,
                     std::span<const Measurement> col_list, std::vector<std::size_t> cols,
                     const VonKarmanLayers& turbulence, double lag, SimdLevel level = simd_level(),
                     CovarianceModel model = CovarianceModel::closed_form);

    std::size_t nrows() const noexcept { return rows_.size(); }
    std::size_t ncols() const noexcept { return cols_.size(); }

    const ListStructure& row_structure() const noexcept { return *row_structure_; }
    const ListStructure& col_structure() const noexcept { return *col_structure_; }
    /// True when some element is evaluated directly (CovMat's own, built when filling).
    bool has_direct() const noexcept { return direct_needed_; }

    /// The tables the chosen rows and columns read, over the site differences they meet, computed
    /// in parallel inside the current arena. Stops early, with tables partly computed, once
    /// `progress.cancelled` is set.
    PairTables tables(Progress& progress) const;

    /// Fills `target` (of this matrix's shape) inside the current arena: the tables, then rows
    /// split over the workers, each row's lattice segments read from the tables and the rest
    /// evaluated directly. Cancellation as in zam::fill.
    void fill(const Target& target, Progress& progress) const;

private:
    // A run of adjacent chosen columns of one lattice (or none, -1), and its runs.
    struct Segment {
        std::size_t begin;
        std::size_t end;
        std::ptrdiff_t lattice;
        std::size_t runs_begin;  ///< its runs in runs_
        std::size_t runs_end;
    };
    // Adjacent columns of one segment whose keys (site.i · stride + site.j) grow by one.
    struct Run {
        std::size_t begin;
        std::size_t length;
        std::int64_t key;  ///< of the first column
    };
    // The chosen sites' box of a lattice.
    struct Box {
        std::int64_t min_i, max_i, min_j, max_j;
        bool used = false;
    };

    // The index in pairs_ of a row lattice and a column lattice, or -1 when the chosen rows and
    // columns meet no such pair or the two are not compatible.
    std::ptrdiff_t pair_of(std::ptrdiff_t row_lattice, std::ptrdiff_t col_lattice) const;
    // The table of one pair over its differences (its offset unused), at `table` with `stride`.
    void compute_table(const PairTable& pair, double* table, std::size_t stride,
                       Progress& progress) const;
    template <class T>
    void fill_rows(const PairTables& tables, const CovMat* direct, T* data,
                   std::ptrdiff_t row_stride, Progress& progress) const;
    template <class T>
    static void fill_direct(const CovMat& direct, std::size_t i, std::size_t begin, std::size_t end,
                            T* row, Progress& progress);

    std::span<const Measurement> row_list_;
    std::span<const Measurement> col_list_;
    std::vector<std::size_t> rows_;
    std::vector<std::size_t> cols_;
    VonKarmanLayers turbulence_;
    double lag_;
    SimdLevel level_;
    CovarianceModel model_;
    std::shared_ptr<const ListStructure> row_structure_;
    std::shared_ptr<const ListStructure> col_structure_;
    std::vector<Box> row_boxes_;  ///< per row lattice
    std::vector<Box> col_boxes_;  ///< per column lattice
    std::vector<Segment> segments_;
    std::unordered_map<std::uint64_t, std::size_t> pair_index_;  ///< by (row, column) lattice
    std::vector<PairTable> pairs_;  ///< with their offsets in one block of this stride
    std::size_t stride_ = 0;
    std::vector<Run> runs_;
    bool direct_needed_ = false;
};

}  // namespace zam
