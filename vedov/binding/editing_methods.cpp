// SystemGeom's editing methods (merge, filter, reorder): argument conversion and the calls.
#include <cstdint>
#include <vector>

#include "vedov/binding/binder.hpp"
#include "vedov/binding/converters.hpp"
#include "vedov/binding/errors.hpp"
#include "vedov/binding/results.hpp"
#include "vedov/binding/system_geom_methods.hpp"
#include "vedov/binding/types.hpp"
#include "vedov/editing.hpp"

namespace vedov::binding {

namespace {

constexpr const char* cls = "SystemGeom";

std::vector<bool> to_bools(PyObject* object) {
    return to_sequence(object, to_bool);
}

std::vector<std::uint64_t> to_counts(PyObject* object) {
    return to_sequence(object, to_count);
}

std::vector<SystemGeom> to_system_copies(PyObject* object) {
    return to_sequence(object, to_system_geom_copy);
}

}  // namespace

PyObject* merge_meas(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        Arguments<1> bound(cls, "merge_meas", {"systems"}, args, kwargs);
        std::vector<SystemGeom> systems = bound.get(0, to_system_copies);
        return wrap(vedov::merge_meas(std::move(systems))).release();
    });
}

PyObject* merge_com(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        Arguments<1> bound(cls, "merge_com", {"systems"}, args, kwargs);
        std::vector<SystemGeom> systems = bound.get(0, to_system_copies);
        return wrap(vedov::merge_com(std::move(systems))).release();
    });
}

PyObject* filter_com(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        Arguments<1> bound(cls, "filter_com", {"valid_com"}, args, kwargs);
        Exclusive<SystemGeom> system(self);
        const std::vector<bool> valid_com = bound.get(0, to_bools);
        vedov::filter_com(*system, valid_com);
        return none();
    });
}

PyObject* filter_meas(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        Arguments<1> bound(cls, "filter_meas", {"valid_meas"}, args, kwargs);
        Exclusive<SystemGeom> system(self);
        const std::vector<bool> valid_meas = bound.get(0, to_bools);
        vedov::filter_meas(*system, valid_meas);
        return none();
    });
}

PyObject* reorder_meas(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        Arguments<1> bound(cls, "reorder_meas", {"order"}, args, kwargs);
        Exclusive<SystemGeom> system(self);
        const std::vector<std::uint64_t> order = bound.get(0, to_counts);
        vedov::reorder_meas(*system, order);
        return none();
    });
}

PyObject* reorder_com(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        Arguments<1> bound(cls, "reorder_com", {"order"}, args, kwargs);
        Exclusive<SystemGeom> system(self);
        const std::vector<std::uint64_t> order = bound.get(0, to_counts);
        vedov::reorder_com(*system, order);
        return none();
    });
}

}  // namespace vedov::binding
