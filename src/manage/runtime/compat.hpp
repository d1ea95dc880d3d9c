// Everything that depends on the interpreter version lives here, so that a
// newer interpreter means changing this file and nothing else.
#pragma once

#include <Python.h>
#include <frameobject.h>

#include <cstdint>

#if PY_VERSION_HEX < 0x030A0000 || PY_VERSION_HEX >= 0x030B0000
#error "this module is built for CPython 3.10"
#endif

namespace compat {

inline bool is_finalizing() noexcept { return _Py_IsFinalizing() != 0; }

// The identifier of the interpreter running on this thread, or -1 with an
// exception set.
inline int64_t interpreter_id() {
    PyInterpreterState* interp = PyInterpreterState_Get();
    return PyInterpreterState_GetID(interp);
}

// Looks up an attribute that may be missing: 1 and a new reference in
// *result when found, 0 and null when missing (no error set), -1 on error.
inline int lookup_optional_attr(PyObject* object, PyObject* name, PyObject** result) {
    return _PyObject_LookupAttr(object, name, result);
}

// A tag that changes whenever the dictionary changes; good only for caching.
inline uint64_t dict_version(PyObject* dict) noexcept {
    return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
}

// A code object without byte code that carries a function's signature for
// introspection. Returns a new reference or null with an exception set.
inline PyObject* new_signature_code(int argcount, int flags, PyObject* varnames,
                                    PyObject* filename, PyObject* name, int firstlineno,
                                    PyObject* empty_bytes, PyObject* empty_tuple) {
    return reinterpret_cast<PyObject*>(PyCode_NewWithPosOnlyArgs(
        argcount, 0, 0, static_cast<int>(PyTuple_GET_SIZE(varnames)), 0, flags, empty_bytes,
        empty_tuple, empty_tuple, varnames, empty_tuple, empty_tuple, filename, name,
        firstlineno, empty_bytes));
}

// A frame for a traceback entry at `line`; new reference or null.
inline PyObject* new_traceback_frame(PyCodeObject* code, PyObject* globals, int line) {
    PyFrameObject* frame = PyFrame_New(PyThreadState_Get(), code, globals, nullptr);
    if (frame != nullptr) {
        frame->f_lineno = line;
    }
    return reinterpret_cast<PyObject*>(frame);
}

// Where the running interpreter's version string starts.
inline const char* running_version() noexcept { return Py_GetVersion(); }

}  // namespace compat
