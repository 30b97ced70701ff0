// Entry points of SystemGeom's methods defined outside its method-table file.
#pragma once

#include "vedov/binding/python.hpp"

namespace vedov::binding {

// Each entry has the calling convention its table row gives (keyword or no-argument method) and
// reports every failure through guarded().

// Document.
/// save_yaml($self, filename): the system's document written to the file.
PyObject* save_yaml(PyObject* self, PyObject* args, PyObject* kwargs);
/// load_yaml(filename), static: a new system read from the document in the file.
PyObject* load_yaml(PyObject* unused, PyObject* args, PyObject* kwargs);

// Builders and the full-system constructor.
PyObject* add_phi(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* add_ts(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* add_meas(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* add_com(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* add_ttdm(PyObject* self, PyObject* args, PyObject* kwargs);
/// Static: `self` is unused.
PyObject* new_system(PyObject* self, PyObject* args, PyObject* kwargs);

// Editing. The merges are static: `self` is unused.
PyObject* merge_meas(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* merge_com(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* filter_com(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* filter_meas(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* reorder_meas(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* reorder_com(PyObject* self, PyObject* args, PyObject* kwargs);

// Queries.
PyObject* imat(PyObject* self, PyObject* unused);
PyObject* imat_sparse(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* pmeas(PyObject* self, PyObject* unused);

}  // namespace vedov::binding
