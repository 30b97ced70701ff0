// The single point where C++ failures become Python exceptions, and the binding's own error texts.
#pragma once

#include <cxxabi.h>

#include <exception>
#include <string>

#include "vedov/binding/python.hpp"

namespace vedov::binding {

/// The PanicException class: derived from BaseException, created on first use and kept for the life
/// of the process (borrowed reference; null with a Python error set when it cannot be created).
PyObject* panic_exception_type() noexcept;

/// Sets the Python exception for a C++ failure: PanicException with the failure's message (after
/// writing a diagnostic to standard error), or MemoryError for an allocation memory could not
/// satisfy.
void raise_failure(std::exception_ptr failure) noexcept;

/// Runs a method body at the module boundary: its result, or null with the Python exception set for
/// whatever it threw. Nothing thrown ever passes this point; only the unwind of a thread that the
/// interpreter ends (pthread_exit, when a daemon thread takes the lock back during finalization)
/// goes on through, as it must.
template <class Body>
PyObject* guarded(Body&& body) {
    try {
        return body();
    } catch (const abi::__forced_unwind&) {
        throw;
    } catch (const PythonError&) {
        return nullptr;
    } catch (...) {
        raise_failure(std::current_exception());
        return nullptr;
    }
}

/// Raises `type` with `message`, then throws PythonError.
[[noreturn]] void raise(PyObject* type, const std::string& message);

/// The text of `value` (the result of an API call, which may have failed) when it is a str, else
/// "<unknown>"; a failure's Python error is cleared. For messages that describe an object.
std::string text_or_unknown(Ref value);

/// The qualified name of an object's type, as messages show it.
std::string type_name(PyObject* object);

/// TypeError "'T' object is not an instance of 'EXPECTED'", then throws PythonError.
[[noreturn]] void raise_not_instance(PyObject* object, const char* expected);

/// The same refusal for an argument that must be an instance of one of the module's classes, which
/// words None as "'None' is not an instance of 'CLASS'".
[[noreturn]] void raise_not_class_instance(PyObject* object, const char* class_name);

/// RuntimeError "Already mutably borrowed": shared access refused while the instance is held
/// exclusively. Throws PythonError.
[[noreturn]] void raise_already_mutably_borrowed();
/// RuntimeError "Already borrowed": exclusive access refused while anyone holds the instance.
/// Throws PythonError.
[[noreturn]] void raise_already_borrowed();

}  // namespace vedov::binding
