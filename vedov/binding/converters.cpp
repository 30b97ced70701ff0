// Argument converters with the binding's refusal messages.
#include "vedov/binding/converters.hpp"

#include <cstring>

namespace vedov::binding {

namespace {

bool is_numpy_bool(PyObject* object) {
    auto* type = reinterpret_cast<PyObject*>(Py_TYPE(object));
    if (text_or_unknown(Ref(PyObject_GetAttrString(type, "__module__"))) != "numpy") return false;
    const std::string name = text_or_unknown(Ref(PyObject_GetAttrString(type, "__name__")));
    return name == "bool_" || name == "bool";
}

// Exactly two items, or ValueError "expected tuple of length 2, but got tuple of length N".
void check_pair(PyObject* object) {
    if (!PyTuple_Check(object)) raise_not_instance(object, "tuple");
    const Py_ssize_t size = PyTuple_Size(object);
    if (size != 2) {
        raise(PyExc_ValueError,
              "expected tuple of length 2, but got tuple of length " + std::to_string(size));
    }
}

}  // namespace

double to_float(PyObject* object) {
    const double value = PyFloat_AsDouble(object);
    if (value == -1.0 && PyErr_Occurred()) throw PythonError{};
    return value;
}

std::uint64_t to_count(PyObject* object) {
    Ref integer = PyLong_Check(object) ? Ref::borrow(object) : check(PyNumber_Index(object));
    const unsigned long long value = PyLong_AsUnsignedLongLong(integer.get());
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        if (PyErr_ExceptionMatches(PyExc_OverflowError)) {
            Ref zero(PyLong_FromLong(0));
            // Negative values keep the interpreter's own message; only values past 2^64-1 get ours.
            if (zero && PyObject_RichCompareBool(integer.get(), zero.get(), Py_GT) == 1) {
                PyErr_Clear();
                raise(PyExc_OverflowError, "out of range integral type conversion attempted");
            }
        }
        throw PythonError{};
    }
    return value;
}

zam::Vec2D to_float_pair(PyObject* object) {
    check_pair(object);
    const double x = to_float(PyTuple_GetItem(object, 0));
    const double y = to_float(PyTuple_GetItem(object, 1));
    return {x, y};
}

std::pair<std::uint64_t, std::uint64_t> to_count_pair(PyObject* object) {
    check_pair(object);
    const std::uint64_t row = to_count(PyTuple_GetItem(object, 0));
    const std::uint64_t column = to_count(PyTuple_GetItem(object, 1));
    return {row, column};
}

bool to_bool(PyObject* object) {
    if (object == Py_True) return true;
    if (object == Py_False) return false;
    if (is_numpy_bool(object)) {
        auto truth = reinterpret_cast<inquiry>(PyType_GetSlot(Py_TYPE(object), Py_nb_bool));
        if (!truth) {
            raise(PyExc_TypeError, "object of type '" + type_name(object) +
                                       "' does not define a '__bool__' conversion");
        }
        const int value = truth(object);
        if (value < 0) throw PythonError{};
        return value != 0;
    }
    raise_not_instance(object, "bool");
}

std::string to_string(PyObject* object) {
    if (!PyUnicode_Check(object)) raise_not_instance(object, "str");
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(object, &size);
    if (!text) throw PythonError{};
    return std::string(text, static_cast<std::size_t>(size));
}

PyObject* to_system_geom(PyObject* object) {
    if (!is_instance<SystemGeom>(object)) raise_not_class_instance(object, "SystemGeom");
    return object;
}

SystemGeom to_system_geom_copy(PyObject* object) {
    Shared<SystemGeom> system(to_system_geom(object));
    return *system;
}

std::size_t sequence_size_hint(PyObject* object) {
    if (PyUnicode_Check(object)) raise(PyExc_TypeError, "Can't extract `str` to `Vec`");
    if (!PySequence_Check(object)) raise_not_instance(object, "Sequence");
    const Py_ssize_t size = PySequence_Size(object);
    if (size < 0) {
        PyErr_Clear();
        return 0;
    }
    return static_cast<std::size_t>(size);
}

void prefix_type_error(const char* name) noexcept {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type != PyExc_TypeError) {
        PyErr_Restore(type, value, traceback);
        return;
    }
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback && value) PyException_SetTraceback(value, traceback);
    Ref cause(value);
    Py_XDECREF(type);
    Py_XDECREF(traceback);

    Ref text(cause ? PyObject_Str(cause.get()) : nullptr);
    if (!text) return;
    Ref message(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
    if (!message) return;
    Ref error(PyObject_CallFunctionObjArgs(PyExc_TypeError, message.get(), nullptr));
    if (!error) return;
    PyException_SetCause(error.get(), cause.release());
    PyErr_SetObject(PyExc_TypeError, error.get());
}

}  // namespace vedov::binding
