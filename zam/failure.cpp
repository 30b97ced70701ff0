// Construction of internal failures and the fixed texts of the core's own checks.
#include "zam/failure.hpp"

#include <pthread.h>

#include <string>

namespace zam {

namespace {

std::string current_thread_name() {
    char name[64] = {};
    if (pthread_getname_np(pthread_self(), name, sizeof name) != 0) return {};
    return name;
}

}  // namespace

Failure::Failure(std::string message, std::source_location where)
    : message_(std::move(message)), where_(where), thread_(current_thread_name()) {}

void fail_index(std::size_t len, std::size_t index, std::source_location where) {
    throw Failure("index out of bounds: the len is " + std::to_string(len) + " but the index is " +
                      std::to_string(index),
                  where);
}

void fail_shape(std::size_t rows, std::size_t cols, std::size_t storage_rows,
                std::size_t storage_cols, std::source_location where) {
    throw Failure("shape mismatch: the matrix is " + std::to_string(rows) + " x " +
                      std::to_string(cols) + " but its storage is " + std::to_string(storage_rows) +
                      " x " + std::to_string(storage_cols),
                  where);
}

void fail_capacity(std::source_location where) {
    throw Failure("capacity overflow", where);
}

std::size_t checked_mul(std::size_t a, std::size_t b, std::source_location where) {
    std::size_t product = 0;
    if (__builtin_mul_overflow(a, b, &product)) fail_capacity(where);
    return product;
}

std::size_t checked_add(std::size_t a, std::size_t b, std::source_location where) {
    std::size_t sum = 0;
    if (__builtin_add_overflow(a, b, &sum)) fail_capacity(where);
    return sum;
}

}  // namespace zam
