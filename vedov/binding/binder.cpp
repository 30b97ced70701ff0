// Argument binding with the interpreter's wording for missing, surplus and duplicate arguments.
#include "vedov/binding/binder.hpp"

#include <cstring>
#include <string>
#include <vector>

#include "vedov/binding/errors.hpp"

namespace vedov::binding {

namespace {

std::string full_name(const MethodSignature& signature) {
    return std::string(signature.class_name) + "." + signature.method_name + "()";
}

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'
std::string quoted_list(const std::vector<const char*>& names) {
    std::string text;
    const std::size_t count = names.size();
    for (std::size_t i = 0; i < count; ++i) {
        if (i != 0) {
            if (count > 2) text += ',';
            text += (i == count - 1) ? " and " : " ";
        }
        text += '\'';
        text += names[i];
        text += '\'';
    }
    return text;
}

}  // namespace

void bind_arguments(const MethodSignature& signature, PyObject* args, PyObject* kwargs,
                    std::span<Ref> bound) {
    const std::size_t count = signature.parameters.size();
    const Py_ssize_t given = args ? PyTuple_Size(args) : 0;
    if (given < 0) throw PythonError{};
    const auto positional = static_cast<std::size_t>(given);
    if (positional > count) {
        raise(PyExc_TypeError, full_name(signature) + " takes " + std::to_string(count) +
                                   " positional arguments but " + std::to_string(positional) +
                                   (positional == 1 ? " was" : " were") + " given");
    }
    for (std::size_t i = 0; i < positional; ++i) {
        bound[i] = Ref::borrow(PyTuple_GetItem(args, static_cast<Py_ssize_t>(i)));
    }

    if (kwargs) {
        Py_ssize_t position = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &position, &key, &value)) {
            const std::string name = text_or_unknown(Ref(PyObject_Str(key)));
            std::size_t index = count;
            if (PyUnicode_Check(key)) {
                for (std::size_t i = 0; i < count; ++i) {
                    if (name == signature.parameters[i]) {
                        index = i;
                        break;
                    }
                }
            }
            if (index == count) {
                raise(PyExc_TypeError,
                      full_name(signature) + " got an unexpected keyword argument '" + name + "'");
            }
            if (bound[index]) {
                raise(PyExc_TypeError, full_name(signature) +
                                           " got multiple values for argument '" +
                                           signature.parameters[index] + "'");
            }
            bound[index] = Ref::borrow(value);
        }
    }

    std::vector<const char*> missing;
    for (std::size_t i = 0; i < count; ++i) {
        if (!bound[i]) missing.push_back(signature.parameters[i]);
    }
    if (!missing.empty()) {
        raise(PyExc_TypeError, full_name(signature) + " missing " + std::to_string(missing.size()) +
                                   " required positional " +
                                   (missing.size() == 1 ? "argument" : "arguments") + ": " +
                                   quoted_list(missing));
    }
}

}  // namespace vedov::binding
