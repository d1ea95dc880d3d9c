// Everything a method body is written with. A body is a plain function
//
//     Owned Class_method(Here& here, PyObject* self, PyObject* arg...);
//
// that receives its bound arguments (borrowed) and returns a new reference,
// or a null `Owned` with a Python exception set. `LINE(n)` before each
// statement names the source line its traceback entry will show; `CHECK`
// and `LET` leave the body with the pending exception, and the entry point
// adds the method's traceback entry at the current line. A body fails by
// return value, never by throwing (runtime/error.hpp: the two ways to fail
// and where each is used).
#pragma once

#include <Python.h>

#include <utility>

#include "runtime/compat.hpp"
#include "runtime/compat_errors.hpp"
#include "runtime/constants.hpp"
#include "runtime/globals.hpp"
#include "runtime/ops.hpp"
#include "runtime/ref.hpp"
#include "runtime/signature.hpp"
#include "runtime/traceback.hpp"

namespace rt {

// The value of module global `g` for the body at `here`.
inline Owned global(const Here& here, const Global& g) { return global(here.globals, g); }

namespace detail {

// The exception being handled, as `sys.exc_info()` shows it while a
// handler (or a `finally` clause) runs; the previous state comes back
// afterwards, whatever the handler did. A C++ exception thrown by the
// handler restores it too on its way to the entry point (except in the
// forced unwind at interpreter exit, which runs without the GIL).
class Handling {
public:
    // Takes the pending exception over (normalised, with its traceback).
    // Like finish() and reraise(), may run arbitrary Python code (the
    // exception's constructor, finalizers of what is dropped), so none of
    // them is noexcept: the forced unwind must be able to pass.
    Handling() {
        PyObject *type, *value, *tb;
        compat::take_normalized(&type, &value, &tb);
        type_ = Owned::steal(type);
        value_ = Owned::steal(value);
        tb_ = Owned::steal(tb);
        saved_ = compat::swap_exc_info(type_.get(), value_.get(), tb_.get());
    }
    Handling(const Handling&) = delete;
    Handling& operator=(const Handling&) = delete;
    ~Handling() noexcept(false) {
        if (active_ && !compat::is_finalizing()) {
            finish();
        }
    }

    PyObject* type() const noexcept { return type_.get(); }
    PyObject* value() const noexcept { return value_.get(); }

    // Puts the previous exc_info back and drops the handled exception.
    void finish() {
        active_ = false;
        compat::restore_exc_info(saved_);
        type_.reset();
        value_.reset();
        tb_.reset();
    }
    // Puts the previous exc_info back and raises the handled exception again.
    void reraise() {
        active_ = false;
        compat::restore_exc_info(saved_);
        compat::raise_normalized(type_.release(), value_.release(), tb_.release());
    }

private:
    Owned type_, value_, tb_;
    compat::SavedExcInfo saved_;
    bool active_ = true;
};

}  // namespace detail

// try:
//     region()
// except <cls> as e:        # `clause_line` is the line of this clause
//     handler(e)
//
// `region` and `handler` are callables returning Status. A failure of the
// region gets the method's traceback entry at its own line first; then
// `cls` is looked up (when the clause runs, as Python does) and matched
// with isinstance. While the handler runs the caught exception is
// sys.exc_info(), so an exception the handler raises gets it as
// __context__; afterwards the previous state is restored and, as Python
// deletes `e`, the body keeps nothing of the handled exception or its
// traceback. An exception that does not match (a KeyboardInterrupt against
// Exception) passes on untouched.
template <typename Region, typename Handler>
Status try_except(Here& here, const Global& cls, int clause_line, Region&& region,
                  Handler&& handler) {
    if (region()) {
        return ok;
    }
    here.add_traceback();
    const int raised_at = here.line;
    detail::Handling handling;
    LINE(clause_line);
    Owned match_class = global(here, cls);
    if (!match_class) {
        handling.finish();  // the NameError has the handled exception as context
        here.handler_done();
        return failure;
    }
    if (!PyErr_GivenExceptionMatches(handling.type(), match_class.get())) {
        LINE(raised_at);
        handling.reraise();
        here.entry_is_newest();
        return failure;
    }
    Status handled = handler(handling.value());
    handling.finish();
    here.handler_done();
    return handled;
}

// try:
//     region()
// finally:
//     cleanup()
//
// The cleanup runs after success and after failure. On failure the pending
// exception is set aside (and is sys.exc_info()) while it runs; if the
// cleanup fails too, its exception replaces the first one, which becomes
// its __context__ (and is no longer kept by the body), exactly as in Python.
template <typename Region, typename Cleanup>
Status try_finally(Here& here, Region&& region, Cleanup&& cleanup) {
    if (region()) {
        return cleanup();
    }
    here.add_traceback();
    const int raised_at = here.line;
    detail::Handling handling;
    if (!cleanup()) {
        handling.finish();
        here.handler_done();
        return failure;
    }
    LINE(raised_at);
    handling.reraise();
    here.entry_is_newest();
    return failure;
}

}  // namespace rt
