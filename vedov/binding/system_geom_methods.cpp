// The SystemGeom class: its type slots and method table.
#include <array>

#include "vedov/binding/binder.hpp"
#include "vedov/binding/converters.hpp"
#include "vedov/binding/errors.hpp"
#include "vedov/binding/method_table.hpp"
#include "vedov/binding/results.hpp"
#include "vedov/binding/system_geom_methods.hpp"
#include "vedov/binding/types.hpp"
#include "vedov/system_geom.hpp"

namespace vedov::binding {

namespace {

constexpr const char* cls = "SystemGeom";

PyObject* new_empty(PyObject*, PyObject*) {
    return guarded([] { return wrap(vedov::new_empty()).release(); });
}

PyObject* set_dt(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        Arguments<2> bound(cls, "set_dt", {"simul_dt", "meas_dt"}, args, kwargs);
        Exclusive<SystemGeom> system(self);
        const double simul_dt = bound.get(0, to_float);
        const double meas_dt = bound.get(1, to_float);
        vedov::set_dt(*system, simul_dt, meas_dt);
        return none();
    });
}

PyObject* add_cov_layer(PyObject* self, PyObject*) {
    return guarded([&] {
        Exclusive<SystemGeom> system(self);
        vedov::add_cov_layer(*system);
        return none();
    });
}

PyObject* set_pupil(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        Arguments<2> bound(cls, "set_pupil", {"teldiam", "cobs"}, args, kwargs);
        Exclusive<SystemGeom> system(self);
        const double teldiam = bound.get(0, to_float);
        const double cobs = bound.get(1, to_float);
        vedov::set_pupil(*system, teldiam, cobs);
        return none();
    });
}

PyMethodDef methods[] = {
    no_args_method("new_empty", new_empty, "new_empty()\n--\n\n", METH_STATIC),
    keyword_method("save_yaml", save_yaml, "save_yaml($self, filename)\n--\n\n"),
    keyword_method("load_yaml", load_yaml, "load_yaml(filename)\n--\n\n", METH_STATIC),
    keyword_method("set_dt", set_dt, "set_dt($self, simul_dt, meas_dt)\n--\n\n"),
    keyword_method("add_phi", add_phi, "add_phi($self, teldiam, nphisamples)\n--\n\n"),
    keyword_method("add_ts", add_ts, "add_ts($self, teldiam, ntssamples, ts_dirs)\n--\n\n"),
    keyword_method("add_meas", add_meas,
                   "add_meas($self, teldiam, nsubx, wfs_dirs, gsalt, wfs_delta, wfs_clocking, "
                   "wfs_zoom)\n--\n\n"),
    keyword_method("add_com", add_com,
                   "add_com($self, pitch, nactux, dm_delta, dmalt, coupling, dm_clocking, "
                   "dm_zoom, microns_per_volt)\n--\n\n"),
    keyword_method("add_ttdm", add_ttdm, "add_ttdm($self, scale)\n--\n\n"),
    no_args_method("add_cov_layer", add_cov_layer, "add_cov_layer($self)\n--\n\n"),
    keyword_method("set_pupil", set_pupil, "set_pupil($self, teldiam, cobs)\n--\n\n"),
    keyword_method("new", new_system,
                   "new(teldiam, cobs, coupling, nactux, dmalt, pitch, nsubx, ntssamples, "
                   "nphisamples, wfs_dirs, ts_dirs, dm_delta, wfs_delta, dm_clocking, "
                   "wfs_clocking, dm_zoom, wfs_zoom, gsalt, microns_per_volt)\n--\n\n",
                   METH_STATIC),
    keyword_method("merge_meas", merge_meas, "merge_meas(systems)\n--\n\n", METH_STATIC),
    keyword_method("merge_com", merge_com, "merge_com(systems)\n--\n\n", METH_STATIC),
    keyword_method("filter_com", filter_com, "filter_com($self, valid_com)\n--\n\n"),
    keyword_method("filter_meas", filter_meas, "filter_meas($self, valid_meas)\n--\n\n"),
    keyword_method("reorder_meas", reorder_meas, "reorder_meas($self, order)\n--\n\n"),
    keyword_method("reorder_com", reorder_com, "reorder_com($self, order)\n--\n\n"),
    no_args_method("imat", imat, "imat($self)\n--\n\n"),
    keyword_method("imat_sparse", imat_sparse, "imat_sparse($self, indices)\n--\n\n"),
    no_args_method("pmeas", pmeas, "pmeas($self)\n--\n\n"),
    end_of_methods,
};

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(&refuse_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&deallocate<SystemGeom>)},
    {Py_tp_methods, methods},
    {0, nullptr},
};

PyType_Spec spec = {
    "vedov.SystemGeom",
    static_cast<int>(sizeof(Instance<SystemGeom>)),
    0,
    Py_TPFLAGS_DEFAULT,
    slots,
};

}  // namespace

PyType_Spec& system_geom_spec() {
    return spec;
}

}  // namespace vedov::binding
