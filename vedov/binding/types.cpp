// The process-wide type objects of the three classes and their shared slots.
#include "vedov/binding/types.hpp"

#include <array>
#include <string>

#include "vedov/binding/errors.hpp"

namespace vedov::binding {

namespace {

// Built once per process on first need and never released: every module object and instance of the
// process shares them.
std::array<PyObject*, 3> types{};

PyType_Spec& spec_of(ClassId id) {
    switch (id) {
        case ClassId::system_matrices: return system_matrices_spec();
        case ClassId::recon_matrices: return recon_matrices_spec();
        case ClassId::system_geom: break;
    }
    return system_geom_spec();
}

}  // namespace

PyTypeObject* class_type(ClassId id) {
    PyObject*& slot = types[static_cast<std::size_t>(id)];
    if (!slot) {
        PyObject* created = PyType_FromSpec(&spec_of(id));
        if (!created) throw PythonError{};
        // Building a type can run Python code; if another thread won meanwhile, keep its type.
        if (slot)
            Py_DECREF(created);
        else
            slot = created;
    }
    return reinterpret_cast<PyTypeObject*>(slot);
}

const char* class_name(ClassId id) {
    switch (id) {
        case ClassId::system_matrices: return "SystemMatrices";
        case ClassId::recon_matrices: return "ReconMatrices";
        case ClassId::system_geom: break;
    }
    return "SystemGeom";
}

PyObject* refuse_new(PyTypeObject* type, PyObject*, PyObject*) {
    return guarded([&]() -> PyObject* {
        auto* object = reinterpret_cast<PyObject*>(type);
        raise(PyExc_TypeError,
              "cannot create '" +
                  text_or_unknown(Ref(PyObject_GetAttrString(object, "__module__"))) + "." +
                  text_or_unknown(Ref(PyObject_GetAttrString(object, "__qualname__"))) +
                  "' instances");
    });
}

}  // namespace vedov::binding
