#include "runtime/traceback.hpp"

#include <algorithm>

#include "runtime/compat.hpp"
#include "runtime/process.hpp"
#include "runtime/ref.hpp"

namespace rt {

Owned TracebackSite::code_for(int line) noexcept {
    if (line >= 0 && line < n_codes_ && codes_[line] != nullptr) {
        return Owned::ref(codes_[line]);
    }
    if (line >= n_codes_) {
        // Grown in steps, so a method's lines cost a few reallocations at
        // most; without memory the code object is just not kept.
        const int n = (line / 64 + 1) * 64;
        auto* grown = static_cast<PyObject**>(PyMem_RawRealloc(codes_, sizeof(PyObject*) * n));
        if (grown != nullptr) {
            std::fill(grown + n_codes_, grown + n, nullptr);
            codes_ = grown;
            n_codes_ = n;
        }
    }
    const char* file = PyUnicode_AsUTF8(process().source_file);
    const char* function = PyUnicode_AsUTF8(function_name_);
    if (file == nullptr || function == nullptr) {
        return failure;
    }
    Owned code = Owned::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(file, function, line)));
    if (code && line >= 0 && line < n_codes_) {
        codes_[line] = Owned::ref(code.get()).release();  // the cache's reference
    }
    return code;
}

void TracebackSite::add_entry(int line, PyObject* globals, PyObject** last) {
    // The recipe of the interpreter's own _PyTraceback_Add: set the error
    // aside while the code object and frame are made.
    compat::PendingError error = compat::take_error();
    if (compat::traceback_of(error) != nullptr && compat::traceback_of(error) == *last) {
        compat::put_back(error);
        return;
    }
    Owned frame;
    {
        Owned code = code_for(line);
        if (code) {
            frame = Owned::steal(compat::new_traceback_frame(
                reinterpret_cast<PyCodeObject*>(code.get()), globals, line));
        }
    }
    PyErr_Clear();
    compat::put_back(error);
    if (!frame) {
        return;
    }
    PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
    frame.reset();
    error = compat::take_error();
    PyObject* previous = *last;
    *last = compat::traceback_of(error);
    Py_XINCREF(*last);
    compat::put_back(error);
    Owned::steal(previous).reset();
}

}  // namespace rt
