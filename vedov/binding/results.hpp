// Conversion of results into new Python objects, and the read-only getter machinery.
#pragma once

#include <span>

#include "vedov/binding/errors.hpp"
#include "vedov/binding/python.hpp"
#include "vedov/binding/types.hpp"
#include "zam/dense_matrix.hpp"

namespace vedov::binding {

/// A new reference to None.
inline PyObject* none() {
    Py_RETURN_NONE;
}

/// A new list of new floats, in order.
Ref to_list(std::span<const double> values);
/// A new list of rows, each a new list of new floats.
Ref to_list(const zam::DenseMatrix& matrix);

/// Getter of a stored result field: under shared access, a fresh list built from the stored values.
template <class T, auto Field>
PyObject* read_field(PyObject* self, void*) {
    return guarded([&] {
        Shared<T> value(self);
        return to_list((*value).*Field).release();
    });
}

}  // namespace vedov::binding
