// Conversion of Python argument values into the system's values, one function per argument kind.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "vedov/binding/errors.hpp"
#include "vedov/binding/python.hpp"
#include "vedov/binding/types.hpp"
#include "zam/geometry.hpp"

namespace vedov::binding {

// Each converter returns the value or sets a Python exception and throws PythonError.

/// float: the interpreter's float conversion (float, int, __float__, __index__).
double to_float(PyObject* object);
/// count: a non-negative integer that fits 64 bits; floats are refused.
std::uint64_t to_count(PyObject* object);
/// pair of floats: a tuple of exactly two floats.
zam::Vec2D to_float_pair(PyObject* object);
/// pair of counts: a tuple of exactly two counts.
std::pair<std::uint64_t, std::uint64_t> to_count_pair(PyObject* object);
/// boolean: True or False, or a NumPy boolean through its truth value; integers are refused.
bool to_bool(PyObject* object);
/// string: a str, as UTF-8 (it may hold NUL characters).
std::string to_string(PyObject* object);
/// A SystemGeom instance, borrowed; anything else is refused.
PyObject* to_system_geom(PyObject* object);
/// A deep copy of a SystemGeom instance's record, taken under brief shared access.
SystemGeom to_system_geom_copy(PyObject* object);

/// Checks that `object` is a sequence other than str and returns the length it reports (0 when it
/// reports none), for pre-sizing only.
std::size_t sequence_size_hint(PyObject* object);

/// sequence of X: every element converted by `element` in iteration order.
template <class Element>
auto to_sequence(PyObject* object, Element element) {
    using T = decltype(element(object));
    std::vector<T> values;
    // A reported length is only a hint: never trust it for more than a modest reservation.
    values.reserve(std::min<std::size_t>(sequence_size_hint(object), std::size_t{1} << 16));
    Ref iterator = check(PyObject_GetIter(object));
    while (Ref item{PyIter_Next(iterator.get())}) {
        values.push_back(element(item.get()));
    }
    if (PyErr_Occurred()) throw PythonError{};
    return values;
}

/// Rewrites a pending TypeError (exactly that class) as "argument 'NAME': ..." caused by the
/// original.
void prefix_type_error(const char* name) noexcept;

/// Runs `convert` on an argument; a TypeError (exactly that class) it raises is replaced by
/// TypeError "argument 'NAME': MESSAGE" with the original as its cause.
template <class Convert>
auto convert_argument(const char* name, PyObject* object, Convert convert) {
    try {
        return convert(object);
    } catch (const PythonError&) {
        prefix_type_error(name);
        throw;
    }
}

}  // namespace vedov::binding
