// A vedov.SystemGeom held for reading by the companion across several calls: the Borrowed type.
#pragma once

#include "vedov/binding/python.hpp"

namespace vedovx {

/// The Borrowed type, as a PyType_Spec. An instance holds shared access to one vedov.SystemGeom
/// (vedov refuses to change it meanwhile) until release() or deallocation, and evaluates matrices
/// of it with the interpreter lock released.
PyType_Spec& borrowed_spec();

/// A new Borrowed instance of `type` holding `system`, which must be a vedov.SystemGeom (exactly
/// that class); refused with vedov's RuntimeError while the system is being changed.
PyObject* borrow(PyTypeObject* type, PyObject* system);

}  // namespace vedovx
