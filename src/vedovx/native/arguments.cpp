// Decoding of the private call's arguments, with ValueError naming what the user passed.
#include "vedovx/native/arguments.hpp"

#include <cstdint>
#include <limits>
#include <string_view>

#include "vedov/binding/converters.hpp"
#include "vedov/binding/errors.hpp"

namespace vedovx {

namespace {

using vedov::binding::check;
using vedov::binding::PythonError;
using vedov::binding::raise;
using vedov::binding::Ref;

std::string shape_text(std::size_t rows, std::size_t cols) {
    return "(" + std::to_string(rows) + ", " + std::to_string(cols) + ")";
}

// Item i of a tuple the Python layer built, as an address-sized or count-sized integer.
std::uint64_t tuple_count(PyObject* tuple, Py_ssize_t i) {
    PyObject* item = PyTuple_GetItem(tuple, i);
    if (!item) throw PythonError{};
    return vedov::binding::to_count(item);
}

std::int64_t tuple_integer(PyObject* tuple, Py_ssize_t i) {
    PyObject* item = PyTuple_GetItem(tuple, i);
    if (!item) throw PythonError{};
    const long long value = PyLong_AsLongLong(item);
    if (value == -1 && PyErr_Occurred()) throw PythonError{};
    return value;
}

void check_tuple(PyObject* object, Py_ssize_t size, const char* what) {
    if (!PyTuple_Check(object) || PyTuple_Size(object) != size) {
        raise(PyExc_TypeError, std::string(what) + " must be a tuple of " + std::to_string(size));
    }
}

}  // namespace

List to_list(PyObject* name, const char* argument) {
    const std::string text = vedov::binding::to_string(name);
    List list{};
    if (!vedov::list_named(text, list)) {
        raise(PyExc_ValueError, std::string(argument) + ": no list named '" + text + "'");
    }
    return list;
}

Selection to_selection(PyObject* object, std::size_t entries, const char* argument) {
    if (object == Py_None) return {};
    check_tuple(object, 2, "a selection");
    const auto* indices = reinterpret_cast<const std::int64_t*>(tuple_count(object, 0));
    const std::size_t count = tuple_count(object, 1);
    if (count != 0 && !indices) raise(PyExc_ValueError, std::string(argument) + ": no indices");
    for (std::size_t k = 0; k < count; ++k) {
        if (indices[k] < 0 || static_cast<std::uint64_t>(indices[k]) >= entries) {
            raise(PyExc_ValueError, std::string(argument) + ": index " +
                                        std::to_string(indices[k]) + " is out of range for " +
                                        std::to_string(entries) + " entries");
        }
    }
    return {false, {indices, count}};
}

zam::Target to_target(PyObject* object, std::size_t rows, std::size_t cols) {
    check_tuple(object, 5, "a target");
    void* data = reinterpret_cast<void*>(tuple_count(object, 0));
    const std::size_t target_rows = tuple_count(object, 1);
    const std::size_t target_cols = tuple_count(object, 2);
    const std::int64_t row_stride = tuple_integer(object, 3);
    const std::uint64_t itemsize = tuple_count(object, 4);
    if (target_rows != rows || target_cols != cols) {
        raise(PyExc_ValueError, "out: shape " + shape_text(target_rows, target_cols) +
                                    " does not match the result's " + shape_text(rows, cols));
    }
    if (itemsize != 8 && itemsize != 4) {
        raise(PyExc_ValueError, "out: elements must be float64 or float32");
    }
    if (rows != 0 && cols != 0 && !data) raise(PyExc_ValueError, "out: no storage");
    return {data, rows, cols, static_cast<std::ptrdiff_t>(row_stride),
            itemsize == 8 ? zam::ElementType::float64 : zam::ElementType::float32};
}

std::size_t to_threads(PyObject* object) {
    const std::uint64_t threads = vedov::binding::to_count(object);
    if (threads > static_cast<std::uint64_t>(std::numeric_limits<int>::max())) {
        raise(PyExc_ValueError,
              "threads: at most " + std::to_string(std::numeric_limits<int>::max()));
    }
    return threads;
}

}  // namespace vedovx
