// SystemGeom's queries: the interaction matrix, chosen elements of it, the pupil projection.
#include "vedov/binding/binder.hpp"
#include "vedov/binding/converters.hpp"
#include "vedov/binding/errors.hpp"
#include "vedov/binding/results.hpp"
#include "vedov/binding/system_geom_methods.hpp"
#include "vedov/binding/types.hpp"
#include "vedov/queries.hpp"

namespace vedov::binding {

PyObject* imat(PyObject* self, PyObject*) {
    return guarded([&] {
        Shared<SystemGeom> system(self);
        return to_list(vedov::imat(*system)).release();
    });
}

PyObject* imat_sparse(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        Arguments<1> bound("SystemGeom", "imat_sparse", {"indices"}, args, kwargs);
        Shared<SystemGeom> system(self);
        auto indices = bound.get(0, [](PyObject* o) { return to_sequence(o, to_count_pair); });
        return to_list(vedov::imat_sparse(*system, std::move(indices))).release();
    });
}

PyObject* pmeas(PyObject* self, PyObject*) {
    return guarded([&] {
        Shared<SystemGeom> system(self);
        return to_list(vedov::pmeas(*system)).release();
    });
}

}  // namespace vedov::binding
