// One way to fail: a C++ exception that means "a Python exception is set".
//
// Every C API call whose failure we do not handle on the spot goes through
// `require()` or `own()`; the exception unwinds to the entry point that
// CPython called (a function's vectorcall, the module's exec step), which
// adds the traceback entry and returns the failure to CPython.
//
// Never catch with `catch (...)`: a daemon thread ended at interpreter exit
// unwinds through our frames with abi::__forced_unwind, which must pass.
#pragma once

#include <Python.h>

#include "runtime/ref.hpp"

namespace rt {

struct PyErrorSet {};

[[noreturn]] inline void raise_error() { throw PyErrorSet(); }

// Sets `type` with `message` and unwinds.
[[noreturn]] inline void raise(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    throw PyErrorSet();
}

// A borrowed result that must not be null.
inline PyObject* require(PyObject* borrowed) {
    if (borrowed == nullptr) {
        raise_error();
    }
    return borrowed;
}

// A status result that must not be negative.
inline int require(int status) {
    if (status < 0) {
        raise_error();
    }
    return status;
}

// A new reference that must not be null.
inline Owned own(PyObject* new_reference) {
    if (new_reference == nullptr) {
        raise_error();
    }
    return Owned::steal(new_reference);
}

}  // namespace rt
