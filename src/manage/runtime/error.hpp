// How a step fails: two ways, each with its own place.
//
// While the program runs, a method body and everything it calls fail by
// return value: a null `Owned` or a failed `Status` with the Python
// exception set (`failure` in ref.hpp, CHECK and LET in body.hpp), as
// compiled Python does, so a handler that catches a failure in a loop
// costs no unwinding.
//
// At import, the exec step and what it runs once (the process data, the
// method runtimes, the classes) fail by throwing `PyErrorSet`, "a Python
// exception is set", through `require()`, `own()` and `raise_error()`
// below: any failure there ends the import, so a long chain of C API calls
// reads straight.
//
// Every entry point that CPython calls catches `PyErrorSet` and returns the
// pending exception: the module's create and exec steps, and a function's
// vectorcall (should a body reach code of the second kind, the caller sees
// the real error, not a C++ one). No other C++ exception carries a Python
// error.
//
// Never catch with `catch (...)` alone: a daemon thread ended at
// interpreter exit unwinds through our frames with abi::__forced_unwind,
// which must pass.
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
