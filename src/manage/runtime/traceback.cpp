#include "runtime/traceback.hpp"

#include "runtime/compat.hpp"
#include "runtime/process.hpp"

namespace rt {

PyObject* TracebackSite::code_for(int line) noexcept {
    const bool cacheable = line >= 0 && line < kCachedLines;
    if (cacheable && codes_[line] != nullptr) {
        Py_INCREF(codes_[line]);
        return codes_[line];
    }
    const char* file = PyUnicode_AsUTF8(process().source_file);
    const char* function = PyUnicode_AsUTF8(function_name_);
    if (file == nullptr || function == nullptr) {
        return nullptr;
    }
    PyObject* code = reinterpret_cast<PyObject*>(PyCode_NewEmpty(file, function, line));
    if (code != nullptr && cacheable) {
        codes_[line] = code;  // the cache's reference
        Py_INCREF(code);
    }
    return code;  // a new reference
}

void TracebackSite::add_entry(int line, PyObject* globals, PyObject** last) {
    // The recipe of the interpreter's own _PyTraceback_Add: set the error
    // aside while the code object and frame are made.
    compat::PendingError error = compat::take_error();
    if (compat::traceback_of(error) != nullptr && compat::traceback_of(error) == *last) {
        compat::put_back(error);
        return;
    }
    PyObject* code = code_for(line);
    PyObject* frame = nullptr;
    if (code != nullptr) {
        frame = compat::new_traceback_frame(reinterpret_cast<PyCodeObject*>(code), globals, line);
    }
    Py_XDECREF(code);
    PyErr_Clear();
    compat::put_back(error);
    if (frame == nullptr) {
        return;
    }
    PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame));
    Py_DECREF(frame);
    error = compat::take_error();
    PyObject* previous = *last;
    *last = compat::traceback_of(error);
    Py_XINCREF(*last);
    compat::put_back(error);
    Py_XDECREF(previous);
}

}  // namespace rt
