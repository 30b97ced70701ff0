// The companion's compiled part, vedovx._native: refuses to load beside another build of vedov,
// then lends systems to the Python layer for evaluation into its arrays.
#include <cstdint>
#include <cstring>
#include <exception>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "vedov/binding/errors.hpp"
#include "vedov/binding/python.hpp"
#include "vedov/binding/results.hpp"
#include "vedov/binding/runtime_identity.hpp"
#include "vedov/binding/types.hpp"
#include "vedov/document/document.hpp"
#include "vedov_build_id.hpp"
#include "vedovx/native/borrowed.hpp"
#include "vedovx/native/registry.hpp"
#include "vedovx/native/samples.hpp"

namespace vedovx {

namespace {

using vedov::binding::check;
using vedov::binding::guarded;
using vedov::binding::PythonError;
using vedov::binding::raise;
using vedov::binding::Ref;

struct ModuleState {
    PyTypeObject* borrowed_type;
};

ModuleState& state_of(PyObject* module) {
    return *static_cast<ModuleState*>(PyModule_GetState(module));
}

// The compiled parts read each other's records in place, so they must come from one build: the
// same sources, compiler and flags, and the very vedov module that is loaded.
void check_same_build() {
    const char* runtime = vedov::binding::runtime_build_id();
    if (std::strcmp(runtime, VEDOV_BUILD_ID) != 0) {
        raise(PyExc_ImportError, std::string("vedovx was built with another vedov than the one "
                                             "loaded (vedovx build ") +
                                     VEDOV_BUILD_ID + ", vedov build " + runtime +
                                     "); install both from the same build");
    }
    Ref vedov = check(PyImport_ImportModule("vedov"));
    Ref loaded = check(PyObject_GetAttrString(vedov.get(), "SystemGeom"));
    auto* own = reinterpret_cast<PyObject*>(
        vedov::binding::class_type(vedov::binding::ClassId::system_geom));
    if (loaded.get() != own) {
        raise(PyExc_ImportError,
              "vedovx was built with another vedov than the one loaded (its SystemGeom is not "
              "vedov.SystemGeom); install both from the same build");
    }
}

int execute(PyObject* module) {
    PyObject* done = guarded([&]() -> PyObject* {
        check_same_build();
        PyObject* type = PyType_FromModuleAndSpec(module, &borrowed_spec(), nullptr);
        if (!type) throw PythonError{};
        state_of(module).borrowed_type = reinterpret_cast<PyTypeObject*>(type);
        return module;
    });
    return done ? 0 : -1;
}

int traverse(PyObject* module, visitproc visit, void* arg) {
    Py_VISIT(state_of(module).borrowed_type);
    return 0;
}

int clear(PyObject* module) {
    Py_CLEAR(state_of(module).borrowed_type);
    return 0;
}

void free_module(void* module) {
    clear(static_cast<PyObject*>(module));
}

// borrow(system) -> Borrowed
PyObject* borrow_system(PyObject* module, PyObject* system) {
    return guarded([&] { return borrow(state_of(module).borrowed_type, system); });
}

// load_document(text) -> vedov.SystemGeom read from a document held in memory, the interpreter
// lock released while it is parsed (the text's UTF-8 form lives as long as the str the caller
// holds). The lock is taken back by a plain call, so that a thread the interpreter ends there
// unwinds freely.
PyObject* load_document(PyObject*, PyObject* text) {
    return guarded([&] {
        Py_ssize_t size = 0;
        const char* data = PyUnicode_AsUTF8AndSize(text, &size);
        if (!data) throw PythonError{};
        std::optional<vedov::SystemGeom> system;
        std::exception_ptr failure;
        PyThreadState* const state = PyEval_SaveThread();
        try {
            system.emplace(vedov::from_yaml({data, static_cast<std::size_t>(size)}));
        } catch (...) {
            failure = std::current_exception();
        }
        PyEval_RestoreThread(state);
        if (failure) std::rethrow_exception(failure);
        return vedov::binding::wrap(std::move(*system)).release();
    });
}

// set_layers(system, (address, count)): replaces the system's layers by `count` rows of
// (r0, l0, alt, vx, vy) float64 values the caller checked and keeps alive for the call.
PyObject* set_layers(PyObject*, PyObject* args) {
    return guarded([&] {
        PyObject* system = nullptr;
        unsigned long long address = 0;
        Py_ssize_t count = 0;
        if (!PyArg_ParseTuple(args, "O(Kn)", &system, &address, &count)) throw PythonError{};
        if (Py_TYPE(system) != vedov::binding::class_type(vedov::binding::ClassId::system_geom)) {
            vedov::binding::raise_not_class_instance(system, "SystemGeom");
        }
        const auto* values = reinterpret_cast<const double*>(static_cast<std::uintptr_t>(address));
        zam::VonKarmanLayers layers;
        layers.reserve(static_cast<std::size_t>(count));
        for (Py_ssize_t k = 0; k < count; ++k) {
            const double* v = values + 5 * k;
            layers.push_back({v[0], v[1], v[2], {v[3], v[4]}});
        }
        // Built first, swapped in last: a refusal leaves the system as it was.
        vedov::binding::Exclusive<vedov::SystemGeom> record(system);
        record->cov_model.swap(layers);
        return vedov::binding::none();
    });
}

// add_phase_samples(system, teldiam, nsamples, (address, count), altitude) -> index of the first
// new sample: appends to the system's phase samples a grid toward each of `count` directions,
// (x, y) float64 pairs [arcsec] the caller checked and keeps alive for the call.
PyObject* add_phase_samples(PyObject*, PyObject* args) {
    return guarded([&] {
        PyObject* system = nullptr;
        double teldiam = 0.0, altitude = 0.0;
        Py_ssize_t nsamples = 0, count = 0;
        unsigned long long address = 0;
        if (!PyArg_ParseTuple(args, "Odn(Kn)d", &system, &teldiam, &nsamples, &address, &count,
                              &altitude)) {
            throw PythonError{};
        }
        if (Py_TYPE(system) != vedov::binding::class_type(vedov::binding::ClassId::system_geom)) {
            vedov::binding::raise_not_class_instance(system, "SystemGeom");
        }
        if (nsamples < 0 || count < 0) raise(PyExc_ValueError, "negative count");
        const auto* values = reinterpret_cast<const double*>(static_cast<std::uintptr_t>(address));
        std::vector<zam::Vec2D> directions;
        directions.reserve(static_cast<std::size_t>(count));
        for (Py_ssize_t k = 0; k < count; ++k)
            directions.push_back({values[2 * k], values[2 * k + 1]});
        // Built first, appended last: a failure leaves the system as it was.
        const std::vector<zam::Measurement> block =
            phase_samples_toward(teldiam, static_cast<std::size_t>(nsamples), directions, altitude);
        vedov::binding::Exclusive<vedov::SystemGeom> record(system);
        Ref start = check(PyLong_FromSize_t(record->phi.size()));
        append_all(record->phi, block);
        return start.release();
    });
}

// registry() -> the names of lists, products, models, product sets, counts and time steps
PyObject* registry(PyObject*, PyObject*) {
    return guarded([] { return vedovx::registry().release(); });
}

// panic_exception() -> vedov's PanicException class
PyObject* panic_exception(PyObject*, PyObject*) {
    PyObject* type = vedov::binding::panic_exception_type();
    Py_XINCREF(type);
    return type;
}

// build_id() -> the identity of the build both compiled parts come from
PyObject* build_id(PyObject*, PyObject*) {
    return PyUnicode_FromString(VEDOV_BUILD_ID);
}

PyMethodDef functions[] = {
    {"borrow", borrow_system, METH_O, nullptr},
    {"load_document", load_document, METH_O, nullptr},
    {"set_layers", set_layers, METH_VARARGS, nullptr},
    {"add_phase_samples", add_phase_samples, METH_VARARGS, nullptr},
    {"registry", registry, METH_NOARGS, nullptr},
    {"panic_exception", panic_exception, METH_NOARGS, nullptr},
    {"build_id", build_id, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&execute)},
    {0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT,
    "vedovx._native",
    "The compiled part of vedovx: evaluation of vedov systems into arrays.",
    static_cast<Py_ssize_t>(sizeof(ModuleState)),
    functions,
    module_slots,
    traverse,
    clear,
    free_module,
};

}  // namespace

}  // namespace vedovx

PyMODINIT_FUNC PyInit__native(void) {
    return PyModuleDef_Init(&vedovx::definition);
}
