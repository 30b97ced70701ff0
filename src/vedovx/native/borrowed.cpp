// The Borrowed type: shared access to a system, its counts and contents, and its matrices.
#include "vedovx/native/borrowed.hpp"

#include <cxxabi.h>

#include <functional>
#include <string>

#include "vedov/binding/errors.hpp"
#include "vedov/binding/method_table.hpp"
#include "vedov/binding/results.hpp"
#include "vedov/binding/types.hpp"
#include "vedov/document/document.hpp"
#include "vedov/registry.hpp"
#include "vedovx/native/arguments.hpp"
#include "vedovx/native/inspection.hpp"
#include "vedovx/native/registry.hpp"
#include "vedovx/native/requests.hpp"
#include "vedovx/native/structure.hpp"
#include "vedovx/native/watched.hpp"

namespace vedovx {

namespace {

using vedov::SystemGeom;
using vedov::binding::check;
using vedov::binding::guarded;
using vedov::binding::PythonError;
using vedov::binding::raise;
using vedov::binding::Ref;

struct Borrowed {
    PyObject ob_base;
    PyObject* system;  // strong reference; null once released
};

Borrowed* as_borrowed(PyObject* self) noexcept {
    return reinterpret_cast<Borrowed*>(self);
}

vedov::binding::Instance<SystemGeom>* instance(PyObject* system) noexcept {
    return vedov::binding::instance_of<SystemGeom>(system);
}

// The held system, or RuntimeError once released.
PyObject* held(PyObject* self) {
    PyObject* system = as_borrowed(self)->system;
    if (!system) raise(PyExc_RuntimeError, "the system was released");
    return system;
}

// Runs `work` on `system` without the interpreter lock (run_released), holding a reference of its
// own (so that a release of the Borrowed object from another thread cannot free the system) and
// shared access (so that vedov refuses to change it). A thread the interpreter ends meanwhile
// leaves the reference behind: it cannot be dropped without the lock (the interpreter is
// finalizing).
void run_held(PyObject* system, std::size_t workers, const ProgressReport& report,
              const std::function<void(const SystemGeom&, zam::Progress&)>& work) {
    Ref reference = Ref::borrow(system);
    const vedov::binding::Shared<SystemGeom> access(system);
    try {
        run_released(workers, report, [&](zam::Progress& p) { work(*access, p); });
    } catch (const abi::__forced_unwind&) {
        reference.release();
        throw;
    }
}

const SystemGeom& record(PyObject* self) {
    return instance(held(self))->value.get();
}

void release_held(Borrowed* borrowed) noexcept {
    if (PyObject* system = borrowed->system) {
        borrowed->system = nullptr;
        instance(system)->access.release_shared();
        Py_DECREF(system);
    }
}

PyObject* release(PyObject* self, PyObject*) {
    release_held(as_borrowed(self));
    return vedov::binding::none();
}

void deallocate(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    release_held(as_borrowed(self));
    auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_slot(self);
    Py_DECREF(type);
}

// {name: count}, as the registry names them.
PyObject* counts(PyObject* self, PyObject*) {
    return guarded([&] { return vedovx::counts(record(self)).release(); });
}

// [(r0, l0, alt, vx, vy), ...] in layer order
PyObject* layers(PyObject* self, PyObject*) {
    return guarded([&] {
        const SystemGeom& s = record(self);
        Ref list = check(PyList_New(0));
        for (const zam::VonKarmanLayer& l : s.cov_model) {
            Ref item = check(Py_BuildValue("(ddddd)", l.r0, l.l0, l.alt, l.v.x, l.v.y));
            vedov::binding::check_status(PyList_Append(list.get(), item.get()));
        }
        return list.release();
    });
}

// None, or (rad_outer, rad_inner, spider_thickness, [(x0, y0, x1, y1), ...])
PyObject* pupil(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        const SystemGeom& s = record(self);
        if (!s.pupil) return vedov::binding::none();
        Ref spiders = check(PyList_New(0));
        for (const zam::Spider& v : s.pupil->spiders) {
            Ref item = check(Py_BuildValue("(dddd)", v.start.x, v.start.y, v.end.x, v.end.y));
            vedov::binding::check_status(PyList_Append(spiders.get(), item.get()));
        }
        return check(Py_BuildValue("(dddO)", s.pupil->rad_outer, s.pupil->rad_inner,
                                   s.pupil->spider_thickness, spiders.get()))
            .release();
    });
}

// {"simul_dt": ..., "meas_dt": ...}: the time steps a product's lag may come from.
PyObject* steps(PyObject* self, PyObject*) {
    return guarded([&] { return vedovx::steps(record(self)).release(); });
}

// The memory the system's record takes, in bytes: what a parsed copy of it costs.
PyObject* nbytes(PyObject* self, PyObject*) {
    return guarded([&] {
        const SystemGeom& s = record(self);
        std::size_t bytes = sizeof(SystemGeom);
        for (const auto* list : {&s.meas, &s.phi, &s.ts}) {
            bytes += list->capacity() * sizeof(zam::Measurement);
        }
        bytes += s.com.capacity() * sizeof(zam::Actuator);
        bytes += s.cov_model.capacity() * sizeof(zam::VonKarmanLayer);
        bytes += s.meas_lines.capacity() * sizeof(zam::Line);
        if (s.pupil) bytes += s.pupil->spiders.capacity() * sizeof(zam::Spider);
        return check(PyLong_FromSize_t(bytes)).release();
    });
}

// The system's document, as save_yaml writes it.
PyObject* document(PyObject* self, PyObject*) {
    return guarded([&] {
        const std::string text = vedov::to_yaml(record(self));
        return check(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())))
            .release();
    });
}

// positions(which, altitude, target): the list's coordinates into an (n, 2) or (n, 3) array.
PyObject* positions(PyObject* self, PyObject* args) {
    return guarded([&] {
        const char* which = nullptr;
        double altitude = 0.0;
        PyObject* target = nullptr;
        if (!PyArg_ParseTuple(args, "sdO", &which, &altitude, &target)) throw PythonError{};
        const SystemGeom& s = record(self);
        List list{};
        if (!vedov::list_named(which, list))
            raise(PyExc_ValueError, std::string("which: no list named '") + which + "'");
        const zam::Target t = to_target(target, list_size(s, list), position_width(list));
        if (t.type != zam::ElementType::float64 ||
            t.row_stride != static_cast<std::ptrdiff_t>(t.cols)) {
            raise(PyExc_ValueError, "out: a contiguous float64 array is needed");
        }
        if (t.rows != 0) write_positions(s, list, altitude, static_cast<double*>(t.data));
        return vedov::binding::none();
    });
}

// geometry(which, target): what each measurement of the list is, into an (n, geometry_width)
// array.
PyObject* geometry(PyObject* self, PyObject* args) {
    return guarded([&] {
        const char* which = nullptr;
        PyObject* target = nullptr;
        if (!PyArg_ParseTuple(args, "sO", &which, &target)) throw PythonError{};
        const SystemGeom& s = record(self);
        List list{};
        if (!list_named(which, list) || list == List::com || list == List::meas_lines)
            raise(PyExc_ValueError,
                  std::string("which: no list of measurements named '") + which + "'");
        const zam::Target t = to_target(target, list_size(s, list), geometry_width);
        if (t.type != zam::ElementType::float64 ||
            t.row_stride != static_cast<std::ptrdiff_t>(t.cols)) {
            raise(PyExc_ValueError, "out: a contiguous float64 array is needed");
        }
        if (t.rows != 0) write_geometry(s, list, static_cast<double*>(t.data));
        return vedov::binding::none();
    });
}

Product product_named(const std::string& name) {
    Product product{};
    if (!vedov::product_named(name, product))
        raise(PyExc_ValueError, "no product named '" + name + "'");
    return product;
}

zam::CovarianceModel model_named(const std::string& name) {
    zam::CovarianceModel model{};
    if (!zam::model_named(name, model))
        raise(PyExc_ValueError, "model: no model named '" + name + "'");
    return model;
}

Method method_named(const std::string& name) {
    Method method{};
    if (!vedovx::method_named(name, method))
        raise(PyExc_ValueError, "method: no method named '" + name + "'");
    return method;
}

bool holds_measurements(List list) {
    return vedov::list_holds(list) == vedov::ListHolds::measurements;
}

// Which lists each product takes its rows (and a covariance its columns) from.
void check_lists(const Request& r) {
    if (r.product == Product::projection ? r.rows == List::com : !holds_measurements(r.rows)) {
        raise(PyExc_ValueError, "rows: not a list this matrix takes its rows from");
    }
    if (r.product == Product::covariance && !holds_measurements(r.cols)) {
        raise(PyExc_ValueError, "cols: not a list of measurements");
    }
}

// evaluate(product, rows, cols, lag, model, method, rows_index, cols_index, layers, target,
// threads, progress, offset, total): one matrix of the held system into the target, the interpreter
// lock released.
PyObject* evaluate(PyObject* self, PyObject* args) {
    return guarded([&] {
        const char* product = nullptr;
        const char* model = nullptr;
        const char* method = nullptr;
        PyObject *rows = nullptr, *cols = nullptr, *rows_index = nullptr, *cols_index = nullptr;
        PyObject *layers = nullptr, *target = nullptr, *threads = nullptr, *progress = nullptr;
        double lag = 0.0;
        Py_ssize_t offset = 0, total = 0;
        if (!PyArg_ParseTuple(args, "sOOdssOOOOOOnn", &product, &rows, &cols, &lag, &model, &method,
                              &rows_index, &cols_index, &layers, &target, &threads, &progress,
                              &offset, &total)) {
            throw PythonError{};
        }
        const SystemGeom& s = record(self);
        Request request{};
        request.product = product_named(product);
        request.rows = to_list(rows, "rows");
        if (request.product == Product::covariance) request.cols = to_list(cols, "cols");
        request.lag = lag;
        request.model = model_named(model);
        request.method = method_named(method);
        check_lists(request);
        request.row_selection = to_selection(rows_index, list_size(s, request.rows), "rows_index");
        if (request.product != Product::projection) {
            request.col_selection =
                to_selection(cols_index, list_size(s, request.cols), "cols_index");
        }
        if (request.product == Product::covariance) {
            request.layer_selection = to_selection(layers, s.cov_model.size(), "layers");
        } else if (layers != Py_None) {
            raise(PyExc_ValueError, "layers: only a covariance chooses layers");
        }
        const zam::Target t = to_target(target, result_rows(s, request), result_cols(s, request));
        const std::size_t workers = to_threads(threads);
        const ProgressReport report{progress == Py_None ? nullptr : progress,
                                    static_cast<std::size_t>(offset),
                                    static_cast<std::size_t>(total)};
        // A hold of its own for the evaluation, whatever happens to this object meanwhile.
        run_held(held(self), workers, report, [&](const SystemGeom& system, zam::Progress& p) {
            evaluate(system, request, t, p);
        });
        return vedov::binding::none();
    });
}

// Bytes holding a copy of `count` values of T.
template <class T>
Ref bytes_of(const T* values, std::size_t count) {
    return check(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(values),
                                           static_cast<Py_ssize_t>(count * sizeof(T))));
}

// (sites, lattices, broken) of a list's structure: sites as bytes of int64 (lattice, i, j) per
// entry (lattice -1: none); lattices [(first, last, origin x, origin y, u x, u y, altitude, min i,
// max i, min j, max j)]; broken runs [(first, last, reason)].
Ref structure_objects(const zam::ListStructure& s) {
    std::vector<std::int64_t> sites;
    sites.reserve(3 * s.sites.size());
    for (const zam::LatticeSite& site : s.sites) {
        sites.insert(sites.end(), {static_cast<std::int64_t>(site.lattice), site.i, site.j});
    }
    Ref lattices = check(PyList_New(0));
    for (const zam::Lattice& l : s.lattices) {
        Ref item = check(Py_BuildValue(
            "(nndddddLLLL)", static_cast<Py_ssize_t>(l.first), static_cast<Py_ssize_t>(l.last),
            l.frame.origin.x, l.frame.origin.y, l.frame.u.x, l.frame.u.y, l.altitude,
            static_cast<long long>(l.min_i), static_cast<long long>(l.max_i),
            static_cast<long long>(l.min_j), static_cast<long long>(l.max_j)));
        vedov::binding::check_status(PyList_Append(lattices.get(), item.get()));
    }
    Ref broken = check(PyList_New(0));
    for (const zam::BrokenRun& b : s.broken) {
        Ref item = check(Py_BuildValue("(nns)", static_cast<Py_ssize_t>(b.first),
                                       static_cast<Py_ssize_t>(b.last), b.reason.c_str()));
        vedov::binding::check_status(PyList_Append(broken.get(), item.get()));
    }
    Ref sites_bytes = bytes_of(sites.data(), sites.size());
    return check(PyTuple_Pack(3, sites_bytes.get(), lattices.get(), broken.get()));
}

// structure(rows, cols, lag, model, layers, threads, tables): the lattices of both lists and, when
// `tables` is true, the table of every compatible pair over the whole lists (of the chosen layers),
// the interpreter lock released: (rows' structure, columns' structure, pairs [(row lattice, column
// lattice, min i, min j, count i, count j, offset)], stride, values as bytes of float64).
PyObject* structure(PyObject* self, PyObject* args) {
    return guarded([&] {
        PyObject *rows = nullptr, *cols = nullptr, *layers = nullptr, *threads = nullptr;
        const char* model = nullptr;
        double lag = 0.0;
        int tables = 1;
        if (!PyArg_ParseTuple(args, "OOdsOOp", &rows, &cols, &lag, &model, &layers, &threads,
                              &tables)) {
            throw PythonError{};
        }
        const SystemGeom& s = record(self);
        Request request{};
        request.product = Product::covariance;
        request.rows = to_list(rows, "rows");
        request.cols = to_list(cols, "cols");
        request.lag = lag;
        request.model = model_named(model);
        check_lists(request);
        request.layer_selection = to_selection(layers, s.cov_model.size(), "layers");
        const std::size_t workers = to_threads(threads);
        Structure found;
        run_held(held(self), workers, ProgressReport{},
                 [&](const SystemGeom& system, zam::Progress& p) {
                     found = vedovx::structure(system, request, tables != 0, p);
                 });
        Ref row_objects = structure_objects(found.matrix->row_structure());
        Ref col_objects = structure_objects(found.matrix->col_structure());
        Ref pairs = check(PyList_New(0));
        for (const zam::PairTable& t : found.tables.pairs) {
            Ref item = check(Py_BuildValue(
                "(nnLLnnn)", static_cast<Py_ssize_t>(t.row_lattice),
                static_cast<Py_ssize_t>(t.col_lattice), static_cast<long long>(t.min_i),
                static_cast<long long>(t.min_j), static_cast<Py_ssize_t>(t.count_i),
                static_cast<Py_ssize_t>(t.count_j), static_cast<Py_ssize_t>(t.offset)));
            vedov::binding::check_status(PyList_Append(pairs.get(), item.get()));
        }
        Ref values = bytes_of(found.tables.values.data(), found.tables.values.size());
        Ref stride = check(PyLong_FromSize_t(found.tables.stride));
        return check(PyTuple_Pack(5, row_objects.get(), col_objects.get(), pairs.get(),
                                  stride.get(), values.get()))
            .release();
    });
}

PyMethodDef methods[] = {
    {"counts", counts, METH_NOARGS, nullptr},
    {"layers", layers, METH_NOARGS, nullptr},
    {"pupil", pupil, METH_NOARGS, nullptr},
    {"steps", steps, METH_NOARGS, nullptr},
    {"document", document, METH_NOARGS, nullptr},
    {"nbytes", nbytes, METH_NOARGS, nullptr},
    {"positions", positions, METH_VARARGS, nullptr},
    {"geometry", geometry, METH_VARARGS, nullptr},  // what each measurement is
    {"evaluate", evaluate, METH_VARARGS, nullptr},
    {"structure", structure, METH_VARARGS, nullptr},  // lattices and pair tables
    {"release", release, METH_NOARGS, nullptr},
    vedov::binding::end_of_methods,
};

PyType_Slot slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(&deallocate)},
    {Py_tp_methods, methods},
    {0, nullptr},
};

PyType_Spec spec = {
    "vedovx._native.Borrowed",
    static_cast<int>(sizeof(Borrowed)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    slots,
};

}  // namespace

PyType_Spec& borrowed_spec() {
    return spec;
}

PyObject* borrow(PyTypeObject* type, PyObject* system) {
    using vedov::binding::class_type;
    using vedov::binding::ClassId;
    if (Py_TYPE(system) != class_type(ClassId::system_geom)) {
        vedov::binding::raise_not_class_instance(system, "SystemGeom");
    }
    if (!instance(system)->access.try_shared()) vedov::binding::raise_already_mutably_borrowed();
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* object = alloc(type, 0);
    if (!object) {
        instance(system)->access.release_shared();
        throw PythonError{};
    }
    Py_INCREF(system);
    as_borrowed(object)->system = system;
    return object;
}

}  // namespace vedovx
