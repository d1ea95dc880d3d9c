#include "runtime/traceback.hpp"

#include "runtime/compat.hpp"
#include "runtime/process.hpp"

namespace rt {

PyObject* TracebackSite::code_for(int line) {
    auto found = codes_.find(line);
    if (found != codes_.end()) {
        return found->second;
    }
    const char* file = PyUnicode_AsUTF8(name(Name::source_file));
    const char* function = PyUnicode_AsUTF8(function_name_);
    if (file == nullptr || function == nullptr) {
        return nullptr;
    }
    PyObject* code = reinterpret_cast<PyObject*>(PyCode_NewEmpty(file, function, line));
    if (code != nullptr) {
        codes_.emplace(line, code);
    }
    return code;
}

void TracebackSite::add_entry(int line, PyObject* globals) {
    // The recipe of the interpreter's own _PyTraceback_Add: set the error
    // aside while the code object and frame are made.
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyObject* code = code_for(line);
    if (code == nullptr || compat::newest_entry_is(tb, code, line)) {
        PyErr_Clear();
        PyErr_Restore(type, value, tb);
        return;
    }
    PyObject* frame = compat::new_traceback_frame(reinterpret_cast<PyCodeObject*>(code),
                                                  globals, line);
    PyErr_Clear();
    PyErr_Restore(type, value, tb);
    if (frame != nullptr) {
        PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame));
        Py_DECREF(frame);
    }
}

}  // namespace rt
