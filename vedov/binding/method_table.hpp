// Helpers for method tables: entries with the calling convention of each kind of method.
#pragma once

#include "vedov/binding/python.hpp"

namespace vedov::binding {

using KeywordMethod = PyObject* (*)(PyObject* self, PyObject* args, PyObject* kwargs);
using NoArgsMethod = PyObject* (*)(PyObject* self, PyObject* unused);

/// A method taking its arguments by position or keyword; `doc` is its text signature block.
inline PyMethodDef keyword_method(const char* name, KeywordMethod body, const char* doc,
                                  int extra_flags = 0) {
    return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(body)),
            METH_VARARGS | METH_KEYWORDS | extra_flags, doc};
}

/// A method that takes no arguments (the interpreter refuses any).
inline PyMethodDef no_args_method(const char* name, NoArgsMethod body, const char* doc,
                                  int extra_flags = 0) {
    return {name, body, METH_NOARGS | extra_flags, doc};
}

constexpr PyMethodDef end_of_methods = {nullptr, nullptr, 0, nullptr};

}  // namespace vedov::binding
