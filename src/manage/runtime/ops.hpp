// The operations method bodies are written in: attribute access, calls,
// unpacking and printing with the interpreter's semantics. Each returns a
// null `Owned` or a failed `Status` with the Python exception set; every
// one of them may run arbitrary Python code (and so release the GIL).
#pragma once

#include <Python.h>

#include "runtime/compat.hpp"
#include "runtime/constants.hpp"
#include "runtime/process.hpp"
#include "runtime/ref.hpp"

namespace rt {

// object.name, straight to the type's look-up: the name is an exact str.
inline Owned getattr(PyObject* object, const Constant& n) {
    getattrofunc get = Py_TYPE(object)->tp_getattro;
    return Owned::steal(get != nullptr ? get(object, n.get()) : PyObject_GetAttr(object, n.get()));
}

inline Status setattr(PyObject* object, const Constant& n, PyObject* value) {
    return status(PyObject_SetAttr(object, n.get(), value));
}

// callable(args...)
template <typename... Args>
Owned call(PyObject* callable, Args... args) {
    PyObject* argv[] = {nullptr, args...};
    return Owned::steal(compat::vectorcall(
        callable, argv + 1, sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// callable(positional..., **{kwnames: the last len(kwnames) values})
template <typename... Args>
Owned call_kw(PyObject* callable, const Constant& kwnames, Args... args) {
    PyObject* argv[] = {nullptr, args...};
    const size_t n_positional =
        sizeof...(Args) - static_cast<size_t>(PyTuple_GET_SIZE(kwnames.get()));
    return Owned::steal(compat::vectorcall(
        callable, argv + 1, n_positional | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames.get()));
}

// self.method(args...), looked up as a method call does.
template <typename... Args>
Owned call_method(PyObject* self, const Constant& method, Args... args) {
    PyObject* argv[] = {self, args...};
    return Owned::steal(
        compat::vectorcall_method(method.get(), argv, 1 + sizeof...(Args), nullptr));
}

// self.method(positional..., **{kwnames: the last len(kwnames) values})
template <typename... Args>
Owned call_method_kw(PyObject* self, const Constant& method, const Constant& kwnames,
                     Args... args) {
    PyObject* argv[] = {self, args...};
    const size_t n_positional =
        1 + sizeof...(Args) - static_cast<size_t>(PyTuple_GET_SIZE(kwnames.get()));
    return Owned::steal(
        compat::vectorcall_method(method.get(), argv, n_positional, kwnames.get()));
}

// A method looked up before the call's arguments are evaluated, as the
// interpreter evaluates `obj.method(arg, key=value)`; a function found on
// the type stays unbound, so calling it makes no bound method.
class Method {
public:
    // object.name; `object` must stay alive until the call.
    Status load(PyObject* object, const Constant& name);

    // The loaded method(positional..., **{kwnames: the last len(kwnames) values}).
    template <typename... Args>
    Owned call_kw(const Constant& kwnames, Args... args) const {
        PyObject* argv[] = {nullptr, self_, args...};
        const size_t n_positional =
            sizeof...(Args) - static_cast<size_t>(PyTuple_GET_SIZE(kwnames.get()));
        if (self_ != nullptr) {
            return Owned::steal(compat::vectorcall(
                callable_.get(), argv + 1, (1 + n_positional) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                kwnames.get()));
        }
        return Owned::steal(compat::vectorcall(
            callable_.get(), argv + 2, n_positional | PY_VECTORCALL_ARGUMENTS_OFFSET,
            kwnames.get()));
    }

private:
    Owned callable_;
    PyObject* self_ = nullptr;  // borrowed: the object it was loaded from, when unbound
};

// a, b = value
Status unpack_two(PyObject* value, Owned& first, Owned& second);

// print(text) with the built-in found at import; print(text, flush=True)
// when `flush`.
Status print(PyObject* text, bool flush);

// print(tag + str(e)), or print(str(e)) without a tag, flushed when
// `flush`: the line a handler prints for the failure it caught.
Status print_failure(const Constant* tag, PyObject* e, bool flush);

// The value's truth, as `if value:` tests it: 1, 0, or -1 with an exception set.
inline Result<bool> truth(PyObject* value) {
    const int result = PyObject_IsTrue(value);
    if (result < 0) {
        return failure;
    }
    return result != 0;
}

// One step of `for item in iterator:`: the next item, or a null `item` at
// the end of the iteration; a failure is the iterator's exception.
inline Status next_item(PyObject* iterator, Owned& item) {
    item = Owned::steal(PyIter_Next(iterator));
    return item || !PyErr_Occurred() ? ok : Status(failure);
}

}  // namespace rt
