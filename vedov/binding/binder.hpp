// Binding of a call's positional and keyword arguments to a method's parameters.
#pragma once

#include <array>
#include <cstddef>
#include <span>

#include "vedov/binding/converters.hpp"
#include "vedov/binding/python.hpp"

namespace vedov::binding {

/// A method as its binding errors name it, with its parameters in signature order.
struct MethodSignature {
    const char* class_name;
    const char* method_name;
    std::span<const char* const> parameters;
};

/// Fills `bound` (one slot per parameter) from the call's arguments. Every parameter is required
/// and may be given by position or by keyword. Refusals are TypeErrors in the interpreter's
/// wording, prefixed with "Class.method()"; they throw PythonError.
void bind_arguments(const MethodSignature& signature, PyObject* args, PyObject* kwargs,
                    std::span<Ref> bound);

/// The bound arguments of a call to a method with N parameters.
template <std::size_t N>
class Arguments {
public:
    Arguments(const char* class_name, const char* method_name,
              const std::array<const char*, N>& parameters, PyObject* args, PyObject* kwargs)
        : parameters_(parameters) {
        bind_arguments({class_name, method_name, parameters_}, args, kwargs, values_);
    }
    /// Borrowed reference to the value of parameter i.
    PyObject* operator[](std::size_t i) const noexcept { return values_[i].get(); }
    const char* name(std::size_t i) const noexcept { return parameters_[i]; }

    /// Parameter i converted by `convert`; a TypeError names the parameter (see convert_argument).
    template <class Convert>
    auto get(std::size_t i, Convert convert) const {
        return convert_argument(parameters_[i], values_[i].get(), convert);
    }

private:
    std::array<const char*, N> parameters_;
    std::array<Ref, N> values_;
};

}  // namespace vedov::binding
