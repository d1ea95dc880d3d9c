// Owned and borrowed object handles.
//
// Rules of use:
//  - A raw `PyObject*` parameter or local is always borrowed: it is valid
//    only while something else holds a reference.
//  - A new reference arrives as an `Owned`: `Owned::steal()` for a call that
//    returns a new reference, `Owned::ref()` to take a new reference to a
//    borrowed object.
//  - Owned handles are moved, never copied; ownership leaves a handle only
//    through `release()`, at the boundary where CPython takes it over.
//  - There is no implicit conversion to `PyObject*`: `get()` borrows.
//
// A daemon thread that takes the GIL back while the interpreter finalizes
// is ended with pthread_exit; the forced unwind runs the destructors of our
// frames without the GIL. So a handle destroyed while the interpreter is
// finalizing leaks its reference instead of touching the refcount: the
// process is ending anyway, and a decref without the GIL could free an
// object another thread is using.
#pragma once

#include <Python.h>

#include <utility>

#include "runtime/compat.hpp"
#include "runtime/failure.hpp"

namespace rt {

// A null handle means "a Python exception is set" wherever a function
// returns one, so a result must not be dropped unchecked.
class [[nodiscard]] Owned {
public:
    Owned() noexcept : p_(nullptr) {}
    Owned(Failure) noexcept : p_(nullptr) {}
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    Owned(Owned&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    // May run arbitrary Python code (the old value's finalizer).
    Owned& operator=(Owned&& other) noexcept(false) {
        if (this != &other) {
            PyObject* old = p_;
            p_ = other.p_;
            other.p_ = nullptr;
            drop(old);
        }
        return *this;
    }
    ~Owned() noexcept(false) { drop(p_); }

    // Takes over a new reference (which may be null).
    static Owned steal(PyObject* p) noexcept { return Owned(p); }
    // Takes a new reference to a borrowed object.
    static Owned ref(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Owned(p);
    }

    PyObject* get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    // Hands the reference to the caller (CPython, at the boundary).
    PyObject* release() noexcept {
        PyObject* p = p_;
        p_ = nullptr;
        return p;
    }
    // May run arbitrary Python code.
    void reset() noexcept(false) {
        PyObject* old = p_;
        p_ = nullptr;
        drop(old);
    }

private:
    explicit Owned(PyObject* p) noexcept : p_(p) {}
    static void drop(PyObject* p) noexcept(false) {
        if (p != nullptr && !compat::is_finalizing()) {
            Py_DECREF(p);
        }
    }
    PyObject* p_;
};

}  // namespace rt

// Owned var = expr, leaving on failure.
#define LET(var, expr)          \
    ::rt::Owned var = (expr);   \
    CHECK(var)
