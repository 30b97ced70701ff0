// The SystemMatrices and ReconMatrices classes: type slots, method tables and read-only fields.
#include <array>
#include <utility>

#include "vedov/binding/binder.hpp"
#include "vedov/binding/converters.hpp"
#include "vedov/binding/errors.hpp"
#include "vedov/binding/method_table.hpp"
#include "vedov/binding/results.hpp"
#include "vedov/binding/types.hpp"
#include "vedov/products.hpp"
#include "vedov/registry.hpp"

namespace vedov::binding {

namespace {

constexpr PyGetSetDef end_of_fields = {nullptr, nullptr, nullptr, nullptr, nullptr};

// Field k of the set's table as a read-only attribute (names are literals: null-terminated).
template <class Set, std::size_t k>
constexpr PyGetSetDef field() {
    constexpr ProductField<Set> f = ProductSet<Set>::fields[k];
    if constexpr (f.matrix != nullptr) {
        return {f.name.data(), &read_field<Set, f.matrix>, nullptr, nullptr, nullptr};
    } else {
        return {f.name.data(), &read_field<Set, f.values>, nullptr, nullptr, nullptr};
    }
}

// Every field of the set's table, then the end marker.
template <class Set, std::size_t... k>
constexpr auto fields_of(std::index_sequence<k...>) {
    return std::array<PyGetSetDef, sizeof...(k) + 1>{field<Set, k>()..., end_of_fields};
}

template <class Set>
auto fields = fields_of<Set>(std::make_index_sequence<ProductSet<Set>::fields.size()>());

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

PyType_Slot system_matrices_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(&refuse_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&deallocate<SystemMatrices>)},
    {Py_tp_methods, system_matrices_methods},
    {Py_tp_getset, fields<SystemMatrices>.data()},
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

PyType_Slot recon_matrices_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(&refuse_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&deallocate<ReconMatrices>)},
    {Py_tp_methods, recon_matrices_methods},
    {Py_tp_getset, fields<ReconMatrices>.data()},
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
