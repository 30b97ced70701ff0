// Module entry: multi-phase initialisation whose execution step adds the three classes and __all__.
#include "vedov/binding/errors.hpp"
#include "vedov/binding/python.hpp"
#include "vedov/binding/types.hpp"

namespace vedov::binding {

namespace {

// Appends `name` to the module's __all__, creating the list on first use.
void add_to_all(PyObject* module, const char* name) {
    Ref all(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PythonError{};
        PyErr_Clear();
        all = check(PyList_New(0));
        check_status(PyObject_SetAttrString(module, "__all__", all.get()));
    }
    if (!PyList_Check(all.get())) raise_not_instance(all.get(), "list");
    Ref text = check(PyUnicode_FromString(name));
    check_status(PyList_Append(all.get(), text.get()));
}

int execute(PyObject* module) {
    PyObject* done = guarded([&]() -> PyObject* {
        if (!PyModule_Check(module)) raise_not_instance(module, "module");
        for (ClassId id :
             {ClassId::system_matrices, ClassId::recon_matrices, ClassId::system_geom}) {
            auto* type = reinterpret_cast<PyObject*>(class_type(id));
            add_to_all(module, class_name(id));
            check_status(PyModule_AddObjectRef(module, class_name(id), type));
        }
        return module;
    });
    return done ? 0 : -1;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&execute)},
    {0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT,
    "vedov",
    "Geometry and turbulence statistics of adaptive-optics systems: interaction matrices, pupil "
    "projections and von Karman covariance matrices.",
    0,
    nullptr,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace vedov::binding

PyMODINIT_FUNC PyInit_vedov(void) {
    return PyModuleDef_Init(&vedov::binding::definition);
}
