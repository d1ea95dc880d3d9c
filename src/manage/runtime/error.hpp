// How a step fails at import, and how no C++ exception reaches CPython.
//
// While the program runs, a method body and everything it calls fail by
// return value (failure.hpp). At import, the exec step and what it runs once (the process data, the
// method runtimes, the classes) fail by throwing `PyErrorSet`, "a Python
// exception is set", through `require()`, `own()` and `raise_error()`
// below: any failure there ends the import, so a long chain of C API calls
// reads straight.
//
// Every entry point that CPython calls runs its work through
// `entry_point()` below: the module's create and exec steps, a function's
// vectorcall, the exit hook. No other C++ exception carries a Python error.
#pragma once

#include <Python.h>

#include <cxxabi.h>

#include <exception>
#include <new>

#include "runtime/ref.hpp"

namespace rt {

struct PyErrorSet {};

// Runs `work`, the body of an entry point that CPython calls, so that no
// C++ exception leaves it: a PyErrorSet hands over the pending error it
// stands for, bad_alloc becomes MemoryError, and anything else (a C++
// library's failure) a SystemError with its text, `where` naming the
// entry point. True if `work` returned normally.
//
// The forced unwind that ends a daemon thread at interpreter exit is the
// one exception that must pass, so `catch (...)` comes only after it.
// UBSan is off for this function's own code (not for `work`, a function of
// its own): the forced unwind carries no C++ object, so its handler's
// reference is bound to null by design of the ABI. GCC's "null" alone does
// not cover a handler's binding; "undefined" does.
template <typename Work>
__attribute__((no_sanitize("undefined"))) inline bool entry_point(const char* where, Work&& work) {
    try {
        work();
        return true;
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (PyErrorSet&) {
        if (!PyErr_Occurred()) {
            PyErr_Format(PyExc_SystemError, "%s: failed without setting an exception", where);
        }
    } catch (std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (std::exception& e) {
        PyErr_Format(PyExc_SystemError, "%s: %s", where, e.what());
    } catch (...) {
        PyErr_Format(PyExc_SystemError, "%s: unknown C++ exception", where);
    }
    return false;
}

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
