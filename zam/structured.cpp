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

// ceil(e / 8) for any sign.
std::int64_t ceil_eighth(std::int64_t e) noexcept {
    return e >= 0 ? (e + 7) / 8 : -((-e) / 8);
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
            segments_.push_back({j, j + 1, lattice, 0, 0});
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
    // Each lattice segment as runs of columns whose keys (site.i * stride + site.j) grow by one.
    for (Segment& segment : segments_) {
        segment.runs_begin = runs_.size();
        for (std::size_t j = segment.begin; segment.lattice >= 0 && j < segment.end; ++j) {
            const LatticeSite& s = col_structure_->sites[cols_[j]];
            const std::int64_t key = s.i * static_cast<std::int64_t>(stride_) + s.j;
            if (runs_.size() > segment.runs_begin) {
                Run& run = runs_.back();
                if (run.begin + run.length == j && run.key + to_signed(run.length) == key) {
                    ++run.length;
                    continue;
                }
            }
            runs_.push_back({j, 1, key});
        }
        segment.runs_end = runs_.size();
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
}

std::ptrdiff_t StructuredCovMat::pair_of(std::ptrdiff_t row_lattice,
                                         std::ptrdiff_t col_lattice) const {
    if (row_lattice < 0 || col_lattice < 0) return -1;
    const auto found = pair_index_.find(static_cast<std::size_t>(row_lattice) * col_boxes_.size() +
                                        static_cast<std::size_t>(col_lattice));
    return found == pair_index_.end() ? -1 : static_cast<std::ptrdiff_t>(found->second);
}

void StructuredCovMat::compute_table(const PairTable& pair, double* table, std::size_t stride,
                                     Progress& progress) const {
    // With e = d - (cA - cB), cA and cB the boxes' centres, difference d is evaluated at site
    // cA + 4k of A and cB + 4k - e of B, k = ceil(e / 8) on each axis: both members within four
    // sites of halfway between the centres and the pair, where coordinates (and their rounding)
    // are no larger than the members' own. Row k serves the 8 x 8 differences of its k; its
    // columns are an 8 x 8 square of a grid of B's sites four apart from the next row's, so
    // each column serves about four rows, and each run of eight starts a whole vector block.
    const Lattice& a = row_structure_->lattices[pair.row_lattice];
    const Lattice& b = col_structure_->lattices[pair.col_lattice];
    const std::int64_t e0_i = pair.min_i - (a.centre_i() - b.centre_i());
    const std::int64_t e0_j = pair.min_j - (a.centre_j() - b.centre_j());
    const std::int64_t e1_i = e0_i + to_signed(pair.count_i) - 1;
    const std::int64_t e1_j = e0_j + to_signed(pair.count_j) - 1;
    const std::int64_t k0_i = ceil_eighth(e0_i), k1_i = ceil_eighth(e1_i);
    const std::int64_t k0_j = ceil_eighth(e0_j), k1_j = ceil_eighth(e1_j);
    const auto rows_j = static_cast<std::size_t>(k1_j - k0_j) + 1;
    const std::size_t nrows = checked_mul(static_cast<std::size_t>(k1_i - k0_i) + 1, rows_j);
    // Column (u, v) is B's site (cB_i - 4 k1_i + u, cB_j - 4 k1_j + v).
    const std::int64_t width = 4 * (k1_j - k0_j) + 8;
    const std::int64_t height = 4 * (k1_i - k0_i) + 8;
    const std::int64_t base_i = b.centre_i() - 4 * k1_i, base_j = b.centre_j() - 4 * k1_j;
    check_capacity<Measurement>(
        checked_mul(static_cast<std::size_t>(height), static_cast<std::size_t>(width)));
    std::vector<Measurement> rows, columns;
    rows.reserve(nrows);
    for (std::size_t r = 0; r < nrows; ++r) {
        const std::int64_t ki = k0_i + to_signed(r / rows_j), kj = k0_j + to_signed(r % rows_j);
        rows.push_back(lattice_member(row_list_, a, a.centre_i() + 4 * ki, a.centre_j() + 4 * kj));
    }
    columns.reserve(static_cast<std::size_t>(height * width));
    for (std::int64_t u = 0; u < height; ++u) {
        for (std::int64_t v = 0; v < width; ++v) {
            columns.push_back(lattice_member(col_list_, b, base_i + u, base_j + v));
        }
    }
    const CovMat cov(BundleSet(rows), BundleSet(columns), turbulence_, lag_, level_, model_);
    for_ranges(nrows, [&](const auto& range) {
        if (progress.cancelled.load(std::memory_order_relaxed)) return;
        double run[8 + 2 * max_block_width];
        for (std::size_t r = range.begin(); r != range.end(); ++r) {
            const std::int64_t ki = k0_i + to_signed(r / rows_j), kj = k0_j + to_signed(r % rows_j);
            const std::int64_t u0 = 4 * (k1_i - ki), v0 = 4 * (k1_j - kj);
            for (std::int64_t u = u0; u < u0 + 8; ++u) {
                // e_i = cB_i + 4 k_i - site_i = 4 (k_i + k1_i) - u.
                const std::int64_t ei = 4 * (ki + k1_i) - u;
                if (ei < e0_i || ei > e1_i) continue;
                // The run of eight columns v0 .. v0 + 7 of grid row u, by whole blocks.
                const auto first = static_cast<std::size_t>(u * width + v0);
                const std::size_t first_block = cov.block_of(first);
                const std::size_t start = cov.block_columns(first_block).first;
                for (std::size_t k = first_block; k < cov.nblocks(); ++k) {
                    const std::size_t c0 = cov.block_columns(k).first;
                    if (c0 >= first + 8) break;
                    cov.fill_block(r, k, run + (c0 - start));
                }
                for (std::int64_t v = v0; v < v0 + 8; ++v) {
                    const std::int64_t ej = 4 * (kj + k1_j) - v;
                    if (ej < e0_j || ej > e1_j) continue;
                    table[static_cast<std::size_t>(ei - e0_i) * stride +
                          static_cast<std::size_t>(ej - e0_j)] =
                        run[first - start + static_cast<std::size_t>(v - v0)];
                }
            }
        }
    });
}

PairTables StructuredCovMat::tables(Progress& progress) const {
    PairTables tables;
    tables.pairs = pairs_;
    tables.stride = stride_;
    if (pairs_.empty()) return tables;
    const PairTable& last = pairs_.back();
    tables.values.resize(last.offset + last.count_i * stride_);
    // Without a lag, the covariance of a list with itself is symmetric: the table of (B, A) at d
    // is that of (A, B) at -d, evaluated once for both over the union of their differences.
    std::vector<std::ptrdiff_t> mirror(pairs_.size(), -1);
    std::vector<bool> derived(pairs_.size(), false);
    const bool symmetric = row_structure_ == col_structure_ && lag_ == 0.0;
    if (symmetric) {
        for (std::size_t p = 0; p < pairs_.size(); ++p) {
            const PairTable& pair = pairs_[p];
            if (pair.row_lattice <= pair.col_lattice) continue;
            const std::ptrdiff_t q =
                pair_of(to_signed(pair.col_lattice), to_signed(pair.row_lattice));
            if (q < 0) continue;
            mirror[static_cast<std::size_t>(q)] = to_signed(p);
            derived[p] = true;
        }
    }
    const auto mirrored = [](const PairTable& pair) {
        return PairTable{pair.col_lattice,
                         pair.row_lattice,
                         -(pair.min_i + to_signed(pair.count_i) - 1),
                         -(pair.min_j + to_signed(pair.count_j) - 1),
                         pair.count_i,
                         pair.count_j,
                         pair.offset};
    };
    for_ranges(pairs_.size(), [&](const auto& range) {
        for (std::size_t p = range.begin(); p != range.end(); ++p) {
            if (progress.cancelled.load(std::memory_order_relaxed)) return;
            const PairTable& pair = pairs_[p];
            if (derived[p]) continue;
            const bool reversed = symmetric && pair.row_lattice > pair.col_lattice;
            if (!reversed && mirror[p] < 0) {
                compute_table(pair, tables.values.data() + pair.offset, stride_, progress);
                continue;
            }
            // The pairs read through (A, B), A the lower lattice, over the union of differences.
            std::vector<const PairTable*> readers{&pair};
            if (mirror[p] >= 0) readers.push_back(&pairs_[static_cast<std::size_t>(mirror[p])]);
            PairTable both = reversed ? mirrored(pair) : pair;
            std::int64_t end_i = both.min_i + to_signed(both.count_i);
            std::int64_t end_j = both.min_j + to_signed(both.count_j);
            for (const PairTable* reader : readers) {
                const PairTable box = reader->row_lattice > reader->col_lattice && symmetric
                                          ? mirrored(*reader)
                                          : *reader;
                both.min_i = std::min(both.min_i, box.min_i);
                both.min_j = std::min(both.min_j, box.min_j);
                end_i = std::max(end_i, box.min_i + to_signed(box.count_i));
                end_j = std::max(end_j, box.min_j + to_signed(box.count_j));
            }
            both.count_i = static_cast<std::size_t>(end_i - both.min_i);
            both.count_j = static_cast<std::size_t>(end_j - both.min_j);
            std::vector<double> values(checked_mul(both.count_i, both.count_j));
            compute_table(both, values.data(), both.count_j, progress);
            for (const PairTable* reader : readers) {
                // A reversed reader's difference d is the lower pair's -d.
                const std::int64_t sign =
                    reader->row_lattice > reader->col_lattice && symmetric ? -1 : 1;
                double* table = tables.values.data() + reader->offset;
                for (std::size_t i = 0; i < reader->count_i; ++i) {
                    const std::int64_t di = sign * (reader->min_i + to_signed(i)) - both.min_i;
                    for (std::size_t j = 0; j < reader->count_j; ++j) {
                        const std::int64_t dj = sign * (reader->min_j + to_signed(j)) - both.min_j;
                        table[i * stride_ + j] =
                            values[static_cast<std::size_t>(di) * both.count_j +
                                   static_cast<std::size_t>(dj)];
                    }
                }
            }
        }
    });
    return tables;
}

template <class T>
void StructuredCovMat::fill_direct(const CovMat& cov, std::size_t i, std::size_t begin,
                                   std::size_t end, T* row, Progress& progress) {
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
void StructuredCovMat::fill_rows(const PairTables& tables, const CovMat* direct, T* data,
                                 std::ptrdiff_t row_stride, Progress& progress) const {
    const double* values = tables.values.data();
    const std::int64_t stride = static_cast<std::int64_t>(stride_);
    // Rows go in bands, each band one segment at a time: the segment's keys and the part of its
    // table the band reads stay in the core's cache while the band's rows are written.
    constexpr std::size_t band = 32;
    for_ranges(rows_.size(), [&](const auto& range) {
        for (std::size_t first = range.begin(); first < range.end(); first += band) {
            if (progress.cancelled.load(std::memory_order_relaxed)) return;
            const std::size_t last = std::min(first + band, range.end());
            const auto row = [&](std::size_t i) {
                return data + static_cast<std::ptrdiff_t>(i) * row_stride;
            };
            for (std::size_t i = first; i != last; ++i) {
                if (row_structure_->sites[rows_[i]].lattice < 0) {
                    fill_direct(*direct, i, 0, cols_.size(), row(i), progress);
                }
            }
            for (const Segment& segment : segments_) {
                const Run* runs = runs_.data() + segment.runs_begin;
                const std::size_t nruns = segment.runs_end - segment.runs_begin;
                for (std::size_t i = first; i != last; ++i) {
                    const LatticeSite& site = row_structure_->sites[rows_[i]];
                    if (site.lattice < 0) continue;
                    const std::ptrdiff_t p = pair_of(site.lattice, segment.lattice);
                    if (p < 0) {
                        fill_direct(*direct, i, segment.begin, segment.end, row(i), progress);
                        continue;
                    }
                    // Element (i, j) at the row's base less the column's key; along a run the
                    // key grows by one a column.
                    const PairTable& pair = pairs_[static_cast<std::size_t>(p)];
                    const std::int64_t base = to_signed(pair.offset) +
                                              (site.i - pair.min_i) * stride +
                                              (site.j - pair.min_j);
                    T* out = row(i);
                    for (std::size_t r = 0; r < nruns; ++r) {
                        const double* from = values + (base - runs[r].key);
                        T* to = out + runs[r].begin;
                        for (std::size_t k = 0; k < runs[r].length; ++k) {
                            to[k] = static_cast<T>(from[-static_cast<std::ptrdiff_t>(k)]);
                        }
                    }
                }
            }
            progress.rows_done.fetch_add(last - first, std::memory_order_relaxed);
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
    std::optional<CovMat> direct;
    if (direct_needed_) {
        direct.emplace(BundleSet(row_list_, rows_), BundleSet(col_list_, cols_), turbulence_, lag_,
                       level_, model_);
    }
    const PairTables computed = tables(progress);
    if (progress.cancelled.load(std::memory_order_relaxed)) return;
    const CovMat* cov = direct ? &*direct : nullptr;
    if (target.type == ElementType::float64) {
        fill_rows(computed, cov, static_cast<double*>(target.data), target.row_stride, progress);
    } else {
        fill_rows(computed, cov, static_cast<float*>(target.data), target.row_stride, progress);
    }
}

}  // namespace zam
