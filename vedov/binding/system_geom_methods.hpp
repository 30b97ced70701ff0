// Entry points of SystemGeom's methods that live outside its method-table file, grouped by
// operation.
#pragma once

#include "vedov/binding/python.hpp"

namespace vedov::binding {

// Each entry has the calling convention its table row gives (keyword or no-argument method) and
// reports every failure through guarded().

/// save_yaml($self, filename): the system's document written to the file.
PyObject* save_yaml(PyObject* self, PyObject* args, PyObject* kwargs);
/// load_yaml(filename), static: a new system read from the document in the file.
PyObject* load_yaml(PyObject* unused, PyObject* args, PyObject* kwargs);

}  // namespace vedov::binding
