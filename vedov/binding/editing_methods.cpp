// SystemGeom's editing methods (merge, filter, reorder): argument conversion and the calls.
#include <cstdint>
#include <utility>
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

// A merge: the systems are copied under brief shared access each, then combined into a new one.
template <class Merge>
PyObject* merged(const char* method, Merge merge, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        Arguments<1> bound(cls, method, {"systems"}, args, kwargs);
        std::vector<SystemGeom> systems = bound.get(0, to_system_copies);
        return wrap(merge(std::move(systems))).release();
    });
}

// An in-place edit: its one argument is converted under exclusive access, then applied.
template <class Convert, class Edit>
PyObject* edited(const char* method, const char* parameter, Convert convert, Edit edit,
                 PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        Arguments<1> bound(cls, method, {parameter}, args, kwargs);
        Exclusive<SystemGeom> system(self);
        const auto value = bound.get(0, convert);
        edit(*system, value);
        return none();
    });
}

}  // namespace

PyObject* merge_meas(PyObject*, PyObject* args, PyObject* kwargs) {
    return merged("merge_meas", vedov::merge_meas, args, kwargs);
}

PyObject* merge_com(PyObject*, PyObject* args, PyObject* kwargs) {
    return merged("merge_com", vedov::merge_com, args, kwargs);
}

PyObject* filter_com(PyObject* self, PyObject* args, PyObject* kwargs) {
    return edited("filter_com", "valid_com", to_bools, vedov::filter_com, self, args, kwargs);
}

PyObject* filter_meas(PyObject* self, PyObject* args, PyObject* kwargs) {
    return edited("filter_meas", "valid_meas", to_bools, vedov::filter_meas, self, args, kwargs);
}

PyObject* reorder_meas(PyObject* self, PyObject* args, PyObject* kwargs) {
    return edited("reorder_meas", "order", to_counts, vedov::reorder_meas, self, args, kwargs);
}

PyObject* reorder_com(PyObject* self, PyObject* args, PyObject* kwargs) {
    return edited("reorder_com", "order", to_counts, vedov::reorder_com, self, args, kwargs);
}

}  // namespace vedov::binding
