// SystemGeom's document methods: save_yaml and load_yaml.
#include "vedov/binding/binder.hpp"
#include "vedov/binding/converters.hpp"
#include "vedov/binding/errors.hpp"
#include "vedov/binding/results.hpp"
#include "vedov/binding/system_geom_methods.hpp"
#include "vedov/binding/types.hpp"
#include "vedov/document/document.hpp"

namespace vedov::binding {

namespace {

constexpr const char* cls = "SystemGeom";

}  // namespace

PyObject* save_yaml(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        Arguments<1> bound(cls, "save_yaml", {"filename"}, args, kwargs);
        // Shared for the whole call: no builder can change the system while it is written.
        Shared<SystemGeom> system(self);
        const std::string filename = bound.get(0, to_string);
        vedov::save_yaml(*system, filename);
        return none();
    });
}

PyObject* load_yaml(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        Arguments<1> bound(cls, "load_yaml", {"filename"}, args, kwargs);
        const std::string filename = bound.get(0, to_string);
        return wrap(vedov::load_yaml(filename)).release();
    });
}

}  // namespace vedov::binding
