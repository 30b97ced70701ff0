// The one internal failure of the core: message, source location and raising thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <source_location>
#include <string>

namespace zam {

/// A violated internal check. The operation that meets it is abandoned and the failure travels
/// up to the caller (across worker threads too), which reports its message.
class Failure : public std::exception {
public:
    explicit Failure(std::string message,
                     std::source_location where = std::source_location::current());

    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& message() const noexcept { return message_; }
    const std::source_location& where() const noexcept { return where_; }
    /// Name of the thread that raised the failure (empty when the system gives none).
    const std::string& thread() const noexcept { return thread_; }

private:
    std::string message_;
    std::source_location where_;
    std::string thread_;
};

/// Fails with "index out of bounds: the len is LEN but the index is INDEX".
[[noreturn]] void fail_index(std::size_t len, std::size_t index,
                             std::source_location where = std::source_location::current());

/// Fails with "shape mismatch: the matrix is ROWS x COLS but its storage is R x C".
[[noreturn]] void fail_shape(std::size_t rows, std::size_t cols, std::size_t storage_rows,
                             std::size_t storage_cols,
                             std::source_location where = std::source_location::current());

/// Fails with "capacity overflow": a size that no allocation can represent.
[[noreturn]] void fail_capacity(std::source_location where = std::source_location::current());

/// a·b, or "capacity overflow" when the product does not fit a machine word.
std::size_t checked_mul(std::size_t a, std::size_t b,
                        std::source_location where = std::source_location::current());

/// a + b, or "capacity overflow" when the sum does not fit a machine word.
std::size_t checked_add(std::size_t a, std::size_t b,
                        std::source_location where = std::source_location::current());

/// Fails with "capacity overflow" when n elements of T exceed the largest allocatable size;
/// a request below it that memory cannot satisfy throws std::bad_alloc when it is made.
template <class T>
void check_capacity(std::size_t n, std::source_location where = std::source_location::current()) {
    if (n > static_cast<std::size_t>(PTRDIFF_MAX) / sizeof(T)) fail_capacity(where);
}

/// seq[i], or the index failure naming seq.size() and i.
template <class Seq>
decltype(auto) checked_at(Seq& seq, std::size_t i,
                          std::source_location where = std::source_location::current()) {
    if (i >= seq.size()) fail_index(seq.size(), i, where);
    return seq[i];
}

}  // namespace zam
