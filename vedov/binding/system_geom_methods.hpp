// Entry points of SystemGeom's methods defined outside its method-table file.
#pragma once

#include "vedov/binding/python.hpp"

namespace vedov::binding {

// Each entry has the calling convention its table row gives (keyword or no-argument method) and
// reports every failure through guarded().

// Queries.
PyObject* imat(PyObject* self, PyObject* unused);
PyObject* imat_sparse(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* pmeas(PyObject* self, PyObject* unused);

}  // namespace vedov::binding
