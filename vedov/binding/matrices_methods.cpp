// The SystemMatrices and ReconMatrices classes: type slots, method tables and read-only fields.
#include "vedov/binding/binder.hpp"
#include "vedov/binding/converters.hpp"
#include "vedov/binding/errors.hpp"
#include "vedov/binding/method_table.hpp"
#include "vedov/binding/results.hpp"
#include "vedov/binding/types.hpp"
#include "vedov/products.hpp"

namespace vedov::binding {

namespace {

template <class T, auto Field>
constexpr PyGetSetDef field(const char* name) {
    return {name, &read_field<T, Field>, nullptr, nullptr, nullptr};
}

constexpr PyGetSetDef end_of_fields = {nullptr, nullptr, nullptr, nullptr, nullptr};

// Works on its own deep copy of the system, taken under brief shared access.
PyObject* new_system_matrices(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        Arguments<1> bound("SystemMatrices", "new", {"system_geom"}, args, kwargs);
        const SystemGeom system = bound.get(0, to_system_geom_copy);
        return wrap(system_matrices(system)).release();
    });
}

PyMethodDef system_matrices_methods[] = {
    keyword_method("new", new_system_matrices, "new(system_geom)\n--\n\n", METH_STATIC),
    end_of_methods,
};

PyGetSetDef system_matrices_fields[] = {
    field<SystemMatrices, &SystemMatrices::c_phi_phi>("c_phi_phi"),
    field<SystemMatrices, &SystemMatrices::c_phip1_phi>("c_phip1_phi"),
    field<SystemMatrices, &SystemMatrices::c_meas_phi>("c_meas_phi"),
    field<SystemMatrices, &SystemMatrices::d_meas_com>("d_meas_com"),
    field<SystemMatrices, &SystemMatrices::d_phi_com>("d_phi_com"),
    field<SystemMatrices, &SystemMatrices::p_phi>("p_phi"),
    field<SystemMatrices, &SystemMatrices::p_meas>("p_meas"),
    end_of_fields,
};

PyType_Slot system_matrices_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(&refuse_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&deallocate<SystemMatrices>)},
    {Py_tp_methods, system_matrices_methods},
    {Py_tp_getset, system_matrices_fields},
    {0, nullptr},
};

PyType_Spec system_matrices = {
    "vedov.SystemMatrices",
    static_cast<int>(sizeof(Instance<SystemMatrices>)),
    0,
    Py_TPFLAGS_DEFAULT,
    system_matrices_slots,
};

// Reads the system in place under shared access for the whole call.
PyObject* new_recon_matrices(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        Arguments<1> bound("ReconMatrices", "new", {"system_geom"}, args, kwargs);
        Shared<SystemGeom> system(bound.get(0, to_system_geom));
        return wrap(recon_matrices(*system)).release();
    });
}

PyMethodDef recon_matrices_methods[] = {
    keyword_method("new", new_recon_matrices, "new(system_geom)\n--\n\n", METH_STATIC),
    end_of_methods,
};

PyGetSetDef recon_matrices_fields[] = {
    field<ReconMatrices, &ReconMatrices::c_ts_meas>("c_ts_meas"),
    field<ReconMatrices, &ReconMatrices::c_meas_meas>("c_meas_meas"),
    field<ReconMatrices, &ReconMatrices::d_ts_com>("d_ts_com"),
    field<ReconMatrices, &ReconMatrices::d_meas_com>("d_meas_com"),
    field<ReconMatrices, &ReconMatrices::p_meas>("p_meas"),
    end_of_fields,
};

PyType_Slot recon_matrices_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(&refuse_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&deallocate<ReconMatrices>)},
    {Py_tp_methods, recon_matrices_methods},
    {Py_tp_getset, recon_matrices_fields},
    {0, nullptr},
};

PyType_Spec recon_matrices = {
    "vedov.ReconMatrices", static_cast<int>(sizeof(Instance<ReconMatrices>)), 0, Py_TPFLAGS_DEFAULT,
    recon_matrices_slots,
};

}  // namespace

PyType_Spec& system_matrices_spec() {
    return system_matrices;
}
PyType_Spec& recon_matrices_spec() {
    return recon_matrices;
}

}  // namespace vedov::binding
