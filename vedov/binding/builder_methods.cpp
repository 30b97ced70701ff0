// SystemGeom's builder methods and full-system constructor: argument conversion and the calls.
#include <cstdint>
#include <vector>

#include "vedov/binding/binder.hpp"
#include "vedov/binding/converters.hpp"
#include "vedov/binding/errors.hpp"
#include "vedov/binding/results.hpp"
#include "vedov/binding/system_geom_methods.hpp"
#include "vedov/binding/types.hpp"
#include "vedov/builders.hpp"

namespace vedov::binding {

namespace {

constexpr const char* cls = "SystemGeom";

std::vector<zam::Vec2D> to_float_pairs(PyObject* object) {
    return to_sequence(object, to_float_pair);
}

std::vector<double> to_floats(PyObject* object) {
    return to_sequence(object, to_float);
}

}  // namespace

PyObject* add_phi(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        Arguments<2> bound(cls, "add_phi", {"teldiam", "nphisamples"}, args, kwargs);
        Exclusive<SystemGeom> system(self);
        const double teldiam = bound.get(0, to_float);
        const std::uint64_t nphisamples = bound.get(1, to_count);
        vedov::add_phi(*system, teldiam, nphisamples);
        return none();
    });
}

PyObject* add_ts(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        Arguments<3> bound(cls, "add_ts", {"teldiam", "ntssamples", "ts_dirs"}, args, kwargs);
        Exclusive<SystemGeom> system(self);
        const double teldiam = bound.get(0, to_float);
        const std::uint64_t ntssamples = bound.get(1, to_count);
        const std::vector<zam::Vec2D> ts_dirs = bound.get(2, to_float_pairs);
        vedov::add_ts(*system, teldiam, ntssamples, ts_dirs);
        return none();
    });
}

PyObject* add_meas(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        Arguments<7> bound(
            cls, "add_meas",
            {"teldiam", "nsubx", "wfs_dirs", "gsalt", "wfs_delta", "wfs_clocking", "wfs_zoom"},
            args, kwargs);
        Exclusive<SystemGeom> system(self);
        const double teldiam = bound.get(0, to_float);
        const std::uint64_t nsubx = bound.get(1, to_count);
        const std::vector<zam::Vec2D> wfs_dirs = bound.get(2, to_float_pairs);
        const double gsalt = bound.get(3, to_float);
        const std::vector<zam::Vec2D> wfs_delta = bound.get(4, to_float_pairs);
        const std::vector<double> wfs_clocking = bound.get(5, to_floats);
        const std::vector<double> wfs_zoom = bound.get(6, to_floats);
        vedov::add_meas(*system, teldiam, nsubx, wfs_dirs, gsalt, wfs_delta, wfs_clocking,
                        wfs_zoom);
        return none();
    });
}

PyObject* add_com(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        Arguments<8> bound(cls, "add_com",
                           {"pitch", "nactux", "dm_delta", "dmalt", "coupling", "dm_clocking",
                            "dm_zoom", "microns_per_volt"},
                           args, kwargs);
        Exclusive<SystemGeom> system(self);
        const double pitch = bound.get(0, to_float);
        const std::uint64_t nactux = bound.get(1, to_count);
        const zam::Vec2D dm_delta = bound.get(2, to_float_pair);
        const double dmalt = bound.get(3, to_float);
        const double coupling = bound.get(4, to_float);
        const double dm_clocking = bound.get(5, to_float);
        const double dm_zoom = bound.get(6, to_float);
        const double microns_per_volt = bound.get(7, to_float);
        vedov::add_com(*system, pitch, nactux, dm_delta, dmalt, coupling, dm_clocking, dm_zoom,
                       microns_per_volt);
        return none();
    });
}

PyObject* add_ttdm(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        Arguments<1> bound(cls, "add_ttdm", {"scale"}, args, kwargs);
        Exclusive<SystemGeom> system(self);
        const double scale = bound.get(0, to_float);
        vedov::add_ttdm(*system, scale);
        return none();
    });
}

PyObject* new_system(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        Arguments<19> bound(
            cls, "new",
            {"teldiam", "cobs", "coupling", "nactux", "dmalt", "pitch", "nsubx", "ntssamples",
             "nphisamples", "wfs_dirs", "ts_dirs", "dm_delta", "wfs_delta", "dm_clocking",
             "wfs_clocking", "dm_zoom", "wfs_zoom", "gsalt", "microns_per_volt"},
            args, kwargs);
        // A braced list runs its initialisers in order: the arguments convert in signature order.
        const SystemParameters parameters{
            .teldiam = bound.get(0, to_float),
            .cobs = bound.get(1, to_float),
            .coupling = bound.get(2, to_float),
            .nactux = bound.get(3, to_count),
            .dmalt = bound.get(4, to_float),
            .pitch = bound.get(5, to_float),
            .nsubx = bound.get(6, to_count),
            .ntssamples = bound.get(7, to_count),
            .nphisamples = bound.get(8, to_count),
            .wfs_dirs = bound.get(9, to_float_pairs),
            .ts_dirs = bound.get(10, to_float_pairs),
            .dm_delta = bound.get(11, to_float_pair),
            .wfs_delta = bound.get(12, to_float_pairs),
            .dm_clocking = bound.get(13, to_float),
            .wfs_clocking = bound.get(14, to_floats),
            .dm_zoom = bound.get(15, to_float),
            .wfs_zoom = bound.get(16, to_floats),
            .gsalt = bound.get(17, to_float),
            .microns_per_volt = bound.get(18, to_float),
        };
        return wrap(vedov::new_system(parameters)).release();
    });
}

}  // namespace vedov::binding
