// Traceback entries made on behalf of native code: a frame with the module
// namespace as globals and an empty code object that carries the function's
// name, the file "cantorel/manage" and the source line.
#pragma once

#include <Python.h>

#include <utility>

#include "runtime/compat.hpp"
#include "runtime/compat_errors.hpp"
#include "runtime/error.hpp"
#include "runtime/ref.hpp"

namespace rt {

// One place that can appear in a traceback: a method ("cantorel.manage.
// VoiceVD.reset") or the module body ("init cantorel.manage"). Lives for the
// whole process; holds one cached code object per line it has shown.
class TracebackSite {
public:
    explicit TracebackSite(PyObject* function_name) noexcept : function_name_(function_name) {}
    // Adds an entry at `line` to the exception being raised, unless its
    // newest entry is `*last`, the one this call added before (the
    // exception passed through one of the call's own handlers and is on its
    // way out); `*last` then holds the new entry (a strong reference, so
    // that its address cannot be reused by another). Entries are told apart
    // by identity, not by code and line: a method that calls itself gets
    // one entry per call, as a Python function gets one per frame.
    // Keeps the exception as it was if the entry cannot be made, and throws
    // no C++ exception of its own, so the pending error cannot be lost on
    // the way. Not noexcept: dropping the previous `*last` may run
    // finalizers, and so Python code.
    void add_entry(int line, PyObject* globals, PyObject** last);

private:
    Owned code_for(int line) noexcept;  // null if it cannot be made
    PyObject* function_name_;                  // owned, never freed
    // codes_[line] for 0 <= line < n_codes_, grown to the largest line
    // shown (raw memory and references, never freed).
    PyObject** codes_ = nullptr;
    int n_codes_ = 0;
};

// Where a method body is: its site, the line of the statement running, the
// namespace its module-global names are looked up in (the function's
// __globals__), the function itself, which the entry point keeps alive
// for the whole call, and the traceback entry the call added last, while
// the exception that carries it may still pass through the call's handlers.
struct Here {
    TracebackSite& site;
    int line;
    PyObject* globals;
    PyObject* function;
    PyObject* entry = nullptr;  // owned; see TracebackSite::add_entry

    void add_traceback() { site.add_entry(line, globals, &entry); }
    // After one of the call's handlers has raised again an exception that
    // already carries the call's entry: that entry is the newest once more
    // (the handler may have added others to other exceptions meanwhile).
    void entry_is_newest() {
        const compat::PendingError error = compat::take_error();
        PyObject* old = entry;
        entry = compat::traceback_of(error);
        Py_XINCREF(entry);
        compat::put_back(error);
        Py_XDECREF(old);
    }
    // When a handler or a cleanup has finished: the exception it dealt
    // with is gone, and the entry reaches that exception's whole traceback,
    // every frame and local. So it is dropped at once, not at the end of the
    // call, which for a worker's loop never comes; it is kept only when the
    // exception now pending carries it as its newest (one that passed
    // through a handler nested in the cleanup, on its way out).
    void handler_done() {
        if (entry == nullptr) {
            return;
        }
        if (PyErr_Occurred()) {
            const compat::PendingError error = compat::take_error();
            const bool carried = compat::traceback_of(error) == entry;
            compat::put_back(error);
            if (carried) {
                return;
            }
        }
        drop_entry();
    }
    // At the end of the call. (Leaks while the interpreter finalizes, as
    // an Owned does.)
    void drop_entry() {
        PyObject* old = entry;
        entry = nullptr;
        if (old != nullptr && !compat::is_finalizing()) {
            Py_DECREF(old);
        }
    }
};

// Runs `work`, statements of a module's exec step with `here` at the
// module body, as an entry point (entry_point() in error.hpp): whatever
// fails in it, a Python error or any C++ exception, leaves a Python error
// pending with the body's traceback entry at the failing statement's line,
// and throws PyErrorSet on.
template <typename Work>
void run_module_step(const char* where, Here& here, Work&& work) {
    if (!entry_point(where, std::forward<Work>(work))) {
        here.add_traceback();
        here.drop_entry();
        raise_error();
    }
}

}  // namespace rt

// The source line of the statement that follows, for its traceback entry.
#define LINE(n) (here.line = (n))
