// The module's classes: instance layout, process-wide type objects, wrapping, access guards.
#pragma once

#include <new>
#include <type_traits>
#include <utility>

#include "vedov/binding/access.hpp"
#include "vedov/binding/errors.hpp"
#include "vedov/binding/python.hpp"
#include "vedov/binding/value_slot.hpp"
#include "vedov/products.hpp"
#include "vedov/system_geom.hpp"

namespace vedov::binding {

enum class ClassId { system_matrices, recon_matrices, system_geom };

template <class T>
constexpr ClassId class_id() {
    if constexpr (std::is_same_v<T, SystemGeom>)
        return ClassId::system_geom;
    else if constexpr (std::is_same_v<T, SystemMatrices>)
        return ClassId::system_matrices;
    else {
        static_assert(std::is_same_v<T, ReconMatrices>);
        return ClassId::recon_matrices;
    }
}

/// A Python instance holding one value of T and its access-state word. The value is built in
/// place by wrap() and destroyed on deallocation if it was built.
template <class T>
struct Instance {
    PyObject ob_base;  // the interpreter's object header
    AccessState access;
    ValueSlot<T> value;
};

/// The class's type object, built from its PyType_Spec on first need and kept for the life of
/// the process (borrowed reference). Throws PythonError when it cannot be built.
PyTypeObject* class_type(ClassId id);
/// The class name as the module registers it ("SystemGeom", ...).
const char* class_name(ClassId id);

/// A new instance of T's class holding `value`.
template <class T>
Ref wrap(T&& value) {
    using V = std::remove_cvref_t<T>;
    PyTypeObject* type = class_type(class_id<V>());
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    Ref object = check(alloc(type, 0));
    auto* instance = reinterpret_cast<Instance<V>*>(object.get());
    new (&instance->access) AccessState();
    new (&instance->value) ValueSlot<V>();
    instance->value.emplace(std::forward<T>(value));
    return object;
}

template <class T>
Instance<T>* instance_of(PyObject* object) noexcept {
    return reinterpret_cast<Instance<T>*>(object);
}

/// True when `object` is an instance of T's class.
template <class T>
bool is_instance(PyObject* object) {
    return PyObject_TypeCheck(object, class_type(class_id<T>())) != 0;
}

/// Shared access to an instance's value for the guard's lifetime.
template <class T>
class Shared {
public:
    /// Refused with RuntimeError "Already mutably borrowed" while the instance is held exclusively.
    explicit Shared(PyObject* object);
    ~Shared() { instance_->access.release_shared(); }
    Shared(const Shared&) = delete;
    Shared& operator=(const Shared&) = delete;
    const T& operator*() const noexcept { return instance_->value.get(); }
    const T* operator->() const noexcept { return &instance_->value.get(); }

private:
    Instance<T>* instance_;
};

/// Exclusive access to an instance's value for the guard's lifetime.
template <class T>
class Exclusive {
public:
    /// Refused with RuntimeError "Already borrowed" while anyone holds the instance.
    explicit Exclusive(PyObject* object);
    ~Exclusive() { instance_->access.release_exclusive(); }
    Exclusive(const Exclusive&) = delete;
    Exclusive& operator=(const Exclusive&) = delete;
    T& operator*() const noexcept { return instance_->value.get(); }
    T* operator->() const noexcept { return &instance_->value.get(); }

private:
    Instance<T>* instance_;
};

template <class T>
Shared<T>::Shared(PyObject* object) : instance_(instance_of<T>(object)) {
    if (!instance_->access.try_shared()) raise_already_mutably_borrowed();
}

template <class T>
Exclusive<T>::Exclusive(PyObject* object) : instance_(instance_of<T>(object)) {
    if (!instance_->access.try_exclusive()) raise_already_borrowed();
}

/// Slots shared by the three classes: the refusing instance-creation slot and deallocation.
PyObject* refuse_new(PyTypeObject* type, PyObject* args, PyObject* kwargs);

template <class T>
void deallocate(PyObject* object) {
    PyTypeObject* type = Py_TYPE(object);
    instance_of<T>(object)->value.destroy();
    auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_slot(object);
    Py_DECREF(type);
}

}  // namespace vedov::binding

namespace vedov::binding {

/// The classes' PyType_Spec, each defined beside its method table.
PyType_Spec& system_geom_spec();
PyType_Spec& system_matrices_spec();
PyType_Spec& recon_matrices_spec();

}  // namespace vedov::binding
