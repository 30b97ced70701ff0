// Structured covariance: the plan (lattices, segments, pairs), the tables, the parallel fill.
#include "zam/structured.hpp"

#include <algorithm>
#include <numeric>
#include <type_traits>
#include <utility>

#include "zam/failure.hpp"

namespace zam {

namespace {

// The chosen entries' sites widen their lattices' boxes.
template <class Box>
void widen(std::vector<Box>& boxes, const ListStructure& structure,
           std::span<const std::size_t> chosen) {
    boxes.resize(structure.lattices.size());
    for (std::size_t k : chosen) {
        const LatticeSite& s = structure.sites[k];
        if (s.lattice < 0) continue;
        Box& b = boxes[static_cast<std::size_t>(s.lattice)];
        if (!b.used) {
            b = {s.i, s.i, s.j, s.j, true};
            continue;
        }
        b.min_i = std::min(b.min_i, s.i);
        b.max_i = std::max(b.max_i, s.i);
        b.min_j = std::min(b.min_j, s.j);
        b.max_j = std::max(b.max_j, s.j);
    }
}

void check_chosen(std::span<const Measurement> list, std::span<const std::size_t> chosen) {
    for (std::size_t k : chosen) {
        if (k >= list.size()) fail_index(list.size(), k);
    }
}

std::int64_t to_signed(std::size_t n) noexcept {
    return static_cast<std::int64_t>(n);
}

// Columns per direct evaluation below which a row's direct segment is not split over workers.
constexpr std::size_t parallel_direct_blocks = 64;

}  // namespace

StructuredCovMat::StructuredCovMat(std::span<const Measurement> row_list,
                                   std::vector<std::size_t> rows,
                                   std::span<const Measurement> col_list,
                                   std::vector<std::size_t> cols, const VonKarmanLayers& turbulence,
                                   double lag, SimdLevel level, CovarianceModel model)
    : row_list_(row_list),
      col_list_(col_list),
      rows_(std::move(rows)),
      cols_(std::move(cols)),
      turbulence_(turbulence),
      lag_(lag),
      level_(level),
      model_(model) {
    check_chosen(row_list_, rows_);
    check_chosen(col_list_, cols_);
    row_structure_ = std::make_shared<const ListStructure>(find_lattices(row_list_));
    const bool same_list =
        col_list_.data() == row_list_.data() && col_list_.size() == row_list_.size();
    col_structure_ = same_list ? row_structure_
                               : std::make_shared<const ListStructure>(find_lattices(col_list_));
    widen(row_boxes_, *row_structure_, rows_);
    widen(col_boxes_, *col_structure_, cols_);

    // Adjacent chosen columns of one lattice form a segment; so do adjacent ones of none.
    for (std::size_t j = 0; j < cols_.size(); ++j) {
        const std::ptrdiff_t lattice = col_structure_->sites[cols_[j]].lattice;
        if (segments_.empty() || segments_.back().lattice != lattice) {
            segments_.push_back({j, j + 1, lattice});
        } else {
            segments_.back().end = j + 1;
        }
    }

    // A table for every compatible pair the chosen rows and columns meet, over the site
    // differences they meet.
    const std::vector<Lattice>& row_lattices = row_structure_->lattices;
    const std::vector<Lattice>& col_lattices = col_structure_->lattices;
    for (std::size_t a = 0; a < row_boxes_.size(); ++a) {
        const Box& ra = row_boxes_[a];
        if (!ra.used) continue;
        for (std::size_t b = 0; b < col_boxes_.size(); ++b) {
            const Box& cb = col_boxes_[b];
            if (!cb.used || !compatible(row_lattices[a], col_lattices[b])) continue;
            pair_index_.emplace(a * col_boxes_.size() + b, pairs_.size());
            pairs_.push_back(
                {a, b, ra.min_i - cb.max_i, ra.min_j - cb.max_j,
                 static_cast<std::size_t>((ra.max_i - ra.min_i) + (cb.max_i - cb.min_i)) + 1,
                 static_cast<std::size_t>((ra.max_j - ra.min_j) + (cb.max_j - cb.min_j)) + 1, 0});
            stride_ = std::max(stride_, pairs_.back().count_j);
        }
    }
    std::size_t offset = 0;
    for (PairTable& pair : pairs_) {
        pair.offset = offset;
        offset = checked_add(offset, checked_mul(pair.count_i, stride_));
    }
    check_capacity<double>(offset);
    col_keys_.resize(cols_.size());
    for (std::size_t j = 0; j < cols_.size(); ++j) {
        const LatticeSite& s = col_structure_->sites[cols_[j]];
        col_keys_[j] = s.i * static_cast<std::int64_t>(stride_) + s.j;
    }

    // Direct elements: rows of no lattice, and segments that are of no lattice or of one
    // incompatible with a chosen row's.
    if (!rows_.empty()) {
        for (std::size_t i : rows_) {
            if (row_structure_->sites[i].lattice < 0) direct_needed_ = true;
        }
        for (const Segment& s : segments_) {
            for (std::size_t a = 0; a < row_boxes_.size() && !direct_needed_; ++a) {
                if (row_boxes_[a].used && pair_of(static_cast<std::ptrdiff_t>(a), s.lattice) < 0) {
                    direct_needed_ = true;
                }
            }
        }
    }
    if (direct_needed_) {
        direct_ = std::make_unique<CovMat>(BundleSet(row_list_, rows_), BundleSet(col_list_, cols_),
                                           turbulence_, lag_, level_, model_);
    }
}

std::ptrdiff_t StructuredCovMat::pair_of(std::ptrdiff_t row_lattice,
                                         std::ptrdiff_t col_lattice) const {
    if (row_lattice < 0 || col_lattice < 0) return -1;
    const auto found = pair_index_.find(static_cast<std::size_t>(row_lattice) * col_boxes_.size() +
                                        static_cast<std::size_t>(col_lattice));
    return found == pair_index_.end() ? -1 : static_cast<std::ptrdiff_t>(found->second);
}

void StructuredCovMat::compute_tables(std::span<const std::size_t> pairs, double* values,
                                      Progress& progress) const {
    // One row per pair: the member at the row lattice's centre site. One column per site of the
    // box holding every site the pairs' differences call for (d = centre - site).
    const Lattice& b = col_structure_->lattices[pairs_[pairs[0]].col_lattice];
    std::vector<Measurement> rows;
    std::int64_t min_i = 0, max_i = 0, min_j = 0, max_j = 0;
    for (std::size_t k = 0; k < pairs.size(); ++k) {
        const PairTable& pair = pairs_[pairs[k]];
        const Lattice& a = row_structure_->lattices[pair.row_lattice];
        rows.push_back(lattice_member(row_list_, a, a.centre_i(), a.centre_j()));
        const std::int64_t low_i = a.centre_i() - (pair.min_i + to_signed(pair.count_i) - 1);
        const std::int64_t low_j = a.centre_j() - (pair.min_j + to_signed(pair.count_j) - 1);
        const std::int64_t high_i = a.centre_i() - pair.min_i;
        const std::int64_t high_j = a.centre_j() - pair.min_j;
        min_i = k == 0 ? low_i : std::min(min_i, low_i);
        min_j = k == 0 ? low_j : std::min(min_j, low_j);
        max_i = k == 0 ? high_i : std::max(max_i, high_i);
        max_j = k == 0 ? high_j : std::max(max_j, high_j);
    }
    const auto count_i = static_cast<std::size_t>(max_i - min_i) + 1;
    const auto count_j = static_cast<std::size_t>(max_j - min_j) + 1;
    const std::size_t count = checked_mul(count_i, count_j);
    check_capacity<Measurement>(count);
    std::vector<Measurement> columns;
    columns.reserve(count);
    for (std::int64_t i = min_i; i <= max_i; ++i) {
        for (std::int64_t j = min_j; j <= max_j; ++j) {
            columns.push_back(lattice_member(col_list_, b, i, j));
        }
    }
    const CovMat cov(BundleSet(rows), BundleSet(columns), turbulence_, lag_, level_, model_);
    const std::size_t nblocks = cov.nblocks();
    std::vector<double> elements(checked_mul(rows.size(), count));
    for_ranges(checked_mul(rows.size(), nblocks), [&](const auto& range) {
        if (progress.cancelled.load(std::memory_order_relaxed)) return;
        for (std::size_t k = range.begin(); k != range.end(); ++k) {
            const std::size_t r = k / nblocks, block = k % nblocks;
            cov.fill_block(r, block, elements.data() + r * count + cov.block_columns(block).first);
        }
    });
    // Difference d of a pair is the element of its row at the site centre - d.
    for (std::size_t k = 0; k < pairs.size(); ++k) {
        const PairTable& pair = pairs_[pairs[k]];
        const Lattice& a = row_structure_->lattices[pair.row_lattice];
        double* table = values + pair.offset;
        for (std::size_t p = 0; p < pair.count_i; ++p) {
            const std::int64_t i = a.centre_i() - (pair.min_i + to_signed(p));
            const double* from = elements.data() + k * count +
                                 static_cast<std::size_t>(i - min_i) * count_j +
                                 static_cast<std::size_t>(a.centre_j() - pair.min_j - min_j);
            for (std::size_t q = 0; q < pair.count_j; ++q)
                table[p * stride_ + q] = from[-to_signed(q)];
        }
    }
}

PairTables StructuredCovMat::tables(Progress& progress) const {
    PairTables tables;
    tables.pairs = pairs_;
    tables.stride = stride_;
    if (pairs_.empty()) return tables;
    const PairTable& last = pairs_.back();
    tables.values.resize(last.offset + last.count_i * stride_);
    // The pairs of each column lattice share one evaluation.
    std::vector<std::vector<std::size_t>> by_column(col_boxes_.size());
    for (std::size_t p = 0; p < pairs_.size(); ++p) by_column[pairs_[p].col_lattice].push_back(p);
    std::erase_if(by_column, [](const auto& pairs) { return pairs.empty(); });
    for_ranges(by_column.size(), [&](const auto& range) {
        for (std::size_t g = range.begin(); g != range.end(); ++g) {
            if (progress.cancelled.load(std::memory_order_relaxed)) return;
            compute_tables(by_column[g], tables.values.data(), progress);
        }
    });
    return tables;
}

template <class T>
void StructuredCovMat::fill_direct(std::size_t i, std::size_t begin, std::size_t end, T* row,
                                   Progress& progress) const {
    const CovMat& cov = *direct_;
    const std::size_t first = cov.block_of(begin);
    const std::size_t count = cov.block_of(end - 1) + 1 - first;
    const auto blocks = [&](std::size_t from, std::size_t to) {
        for (std::size_t k = first + from; k != first + to; ++k) {
            const auto [c0, c1] = cov.block_columns(k);
            if constexpr (std::is_same_v<T, double>) {
                if (c0 >= begin && c1 <= end) {
                    cov.fill_block(i, k, row + c0);
                    continue;
                }
            }
            double values[max_block_width];
            cov.fill_block(i, k, values);
            for (std::size_t c = std::max(c0, begin); c < std::min(c1, end); ++c) {
                row[c] = static_cast<T>(values[c - c0]);
            }
        }
    };
    if (count < parallel_direct_blocks) {
        blocks(0, count);
        return;
    }
    for_ranges(count, [&](const auto& range) {
        if (progress.cancelled.load(std::memory_order_relaxed)) return;
        blocks(range.begin(), range.end());
    });
}

template <class T>
void StructuredCovMat::fill_rows(const PairTables& tables, T* data, std::ptrdiff_t row_stride,
                                 Progress& progress) const {
    const double* values = tables.values.data();
    const std::int64_t stride = static_cast<std::int64_t>(stride_);
    const std::int64_t* keys = col_keys_.data();
    for_ranges(rows_.size(), [&](const auto& range) {
        // Each segment's table (its index in pairs_) for the lattice of the rows at hand.
        std::vector<std::ptrdiff_t> tables_of(segments_.size());
        std::ptrdiff_t lattice_at_hand = -2;
        for (std::size_t i = range.begin(); i != range.end(); ++i) {
            if (progress.cancelled.load(std::memory_order_relaxed)) return;
            T* row = data + static_cast<std::ptrdiff_t>(i) * row_stride;
            const LatticeSite& site = row_structure_->sites[rows_[i]];
            if (site.lattice < 0) {
                fill_direct(i, 0, cols_.size(), row, progress);
                progress.rows_done.fetch_add(1, std::memory_order_relaxed);
                continue;
            }
            if (site.lattice != lattice_at_hand) {
                for (std::size_t s = 0; s < segments_.size(); ++s) {
                    tables_of[s] = pair_of(site.lattice, segments_[s].lattice);
                }
                lattice_at_hand = site.lattice;
            }
            for (std::size_t s = 0; s < segments_.size(); ++s) {
                const Segment& segment = segments_[s];
                if (tables_of[s] < 0) {
                    fill_direct(i, segment.begin, segment.end, row, progress);
                    continue;
                }
                // Element (i, j) at the row's base less the column's key.
                const PairTable& pair = pairs_[static_cast<std::size_t>(tables_of[s])];
                const double* table = values + pair.offset;
                const std::int64_t base = (site.i - pair.min_i) * stride + (site.j - pair.min_j);
                for (std::size_t j = segment.begin; j != segment.end; ++j) {
                    row[j] = static_cast<T>(table[base - keys[j]]);
                }
            }
            progress.rows_done.fetch_add(1, std::memory_order_relaxed);
        }
    });
}

void StructuredCovMat::fill(const Target& target, Progress& progress) const {
    if (target.rows != nrows() || target.cols != ncols()) {
        fail_shape(nrows(), ncols(), target.rows, target.cols);
    }
    if (nrows() == 0) return;
    if (ncols() == 0) {
        progress.rows_done.fetch_add(nrows(), std::memory_order_relaxed);
        return;
    }
    const PairTables computed = tables(progress);
    if (progress.cancelled.load(std::memory_order_relaxed)) return;
    if (target.type == ElementType::float64) {
        fill_rows(computed, static_cast<double*>(target.data), target.row_stride, progress);
    } else {
        fill_rows(computed, static_cast<float*>(target.data), target.row_stride, progress);
    }
}

}  // namespace zam
