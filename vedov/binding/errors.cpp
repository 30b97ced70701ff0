// PanicException, the failure translation point and the binding's own error texts.
#include "vedov/binding/errors.hpp"

#include <cstdio>

#include "vedov/failure_report.hpp"

namespace vedov::binding {

namespace {

constexpr const char* panic_doc =
    "Raised when an internal operation of vedov fails.\n\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so that it normally "
    "propagates to the top instead of being caught by a handler for Exception.";

// One class per process, as the exception must stay the same object for every caller.
PyObject* panic_type = nullptr;

}  // namespace

PyObject* panic_exception_type() noexcept {
    if (panic_type) return panic_type;
    PyObject* created =
        PyErr_NewExceptionWithDoc("vedov.PanicException", panic_doc, PyExc_BaseException, nullptr);
    if (!created) return nullptr;
    // Creating the class can run Python code; if another thread won meanwhile, keep its class.
    if (panic_type) {
        Py_DECREF(created);
        return panic_type;
    }
    panic_type = created;
    return panic_type;
}

void raise_failure(std::exception_ptr failure) noexcept {
    const FailureReport report = describe_failure(failure);
    if (report.outcome == Outcome::out_of_memory) {
        PyErr_NoMemory();
        return;
    }
    try {
        const std::string diagnostic = panic_diagnostic(report);
        std::fputs(diagnostic.c_str(), stderr);
        std::fflush(stderr);
    } catch (...) {
        // The diagnostic is a courtesy; the exception below is what the caller relies on.
    }
    PyObject* type = panic_exception_type();
    if (!type) return;
    PyObject* message = PyUnicode_FromStringAndSize(report.message.data(),
                                                    static_cast<Py_ssize_t>(report.message.size()));
    if (!message) return;
    PyErr_SetObject(type, message);
    Py_DECREF(message);
}

void raise(PyObject* type, const std::string& message) {
    PyErr_SetString(type, message.c_str());
    throw PythonError{};
}

std::string text_or_unknown(Ref value) {
    if (value && PyUnicode_Check(value.get())) {
        Py_ssize_t size = 0;
        if (const char* text = PyUnicode_AsUTF8AndSize(value.get(), &size)) {
            return std::string(text, static_cast<std::size_t>(size));
        }
    }
    PyErr_Clear();
    return "<unknown>";
}

std::string type_name(PyObject* object) {
    return text_or_unknown(
        Ref(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__qualname__")));
}

void raise_not_instance(PyObject* object, const char* expected) {
    raise(PyExc_TypeError,
          "'" + type_name(object) + "' object is not an instance of '" + expected + "'");
}

void raise_not_class_instance(PyObject* object, const char* class_name) {
    if (object == Py_None) {
        raise(PyExc_TypeError, std::string("'None' is not an instance of '") + class_name + "'");
    }
    raise_not_instance(object, class_name);
}

void raise_already_mutably_borrowed() {
    raise(PyExc_RuntimeError, "Already mutably borrowed");
}

void raise_already_borrowed() {
    raise(PyExc_RuntimeError, "Already borrowed");
}

}  // namespace vedov::binding
