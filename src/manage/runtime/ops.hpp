// The operations method bodies are written in: attribute access, calls and
// unpacking with the interpreter's semantics. Each throws PyErrorSet on
// failure; every call may run arbitrary Python code.
#pragma once

#include <Python.h>

#include "runtime/error.hpp"
#include "runtime/process.hpp"
#include "runtime/ref.hpp"

namespace rt {

inline Owned getattr(PyObject* object, Name n) { return own(PyObject_GetAttr(object, name(n))); }

inline void setattr(PyObject* object, Name n, PyObject* value) {
    require(PyObject_SetAttr(object, name(n), value));
}

// callable(args...)
template <typename... Args>
Owned call(PyObject* callable, Args... args) {
    PyObject* argv[] = {nullptr, args...};
    return own(PyObject_Vectorcall(callable, argv + 1,
                                   sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// callable(positional..., **{kwnames: the last len(kwnames) values})
template <typename... Args>
Owned call_with_keywords(PyObject* callable, PyObject* kwnames, Args... args) {
    PyObject* argv[] = {nullptr, args...};
    const size_t n_positional = sizeof...(Args) - static_cast<size_t>(PyTuple_GET_SIZE(kwnames));
    return own(PyObject_Vectorcall(callable, argv + 1,
                                   n_positional | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

// self.method(args...), looked up as a method call does.
template <typename... Args>
Owned call_method(PyObject* self, Name method, Args... args) {
    PyObject* argv[] = {self, args...};
    return own(PyObject_VectorcallMethod(name(method), argv,
                                         (1 + sizeof...(Args)) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                         nullptr));
}

// a, b = value
void unpack_two(PyObject* value, Owned& first, Owned& second);

// A NotImplementedError for a method whose body is not available yet.
[[noreturn]] void not_implemented(const char* qualified_name);

}  // namespace rt
