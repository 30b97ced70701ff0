// Result storage of an evaluated matrix: one contiguous row-major block.
#pragma once

#include <cstddef>
#include <memory>
#include <span>

#include "zam/failure.hpp"

namespace zam {

/// rows × cols 64-bit floats in one allocation; row i is a view into the block.
class DenseMatrix {
public:
    DenseMatrix() = default;
    /// Allocates the block uninitialised: every element is written by whoever fills the matrix.
    DenseMatrix(std::size_t rows, std::size_t cols)
        : rows_(rows), cols_(cols), data_(allocate(checked_mul(rows, cols))) {}

    std::size_t rows() const noexcept { return rows_; }
    std::size_t cols() const noexcept { return cols_; }
    std::size_t size() const noexcept { return rows_ * cols_; }

    double* data() noexcept { return data_.get(); }
    const double* data() const noexcept { return data_.get(); }
    std::span<double> row(std::size_t i) noexcept { return {data_.get() + i * cols_, cols_}; }
    std::span<const double> row(std::size_t i) const noexcept {
        return {data_.get() + i * cols_, cols_};
    }
    double& operator()(std::size_t i, std::size_t j) noexcept { return data_[i * cols_ + j]; }
    double operator()(std::size_t i, std::size_t j) const noexcept { return data_[i * cols_ + j]; }

private:
    static std::unique_ptr<double[]> allocate(std::size_t n) {
        check_capacity<double>(n);
        return std::unique_ptr<double[]>(new double[n]);
    }

    std::size_t rows_ = 0;
    std::size_t cols_ = 0;
    std::unique_ptr<double[]> data_;
};

}  // namespace zam
