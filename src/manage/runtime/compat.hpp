// Everything that depends on the interpreter version lives here, so that a
// newer interpreter means changing this file and nothing else.
#pragma once

#include <Python.h>
#include <frameobject.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#if PY_VERSION_HEX < 0x030A0000 || PY_VERSION_HEX >= 0x030B0000
#error "this module is built for CPython 3.10"
#endif

// The interpreter's runtime state and its recursion check, which the public
// API reaches only through calls (both exported by libpython), and the
// offsets of three fields in it (layout.c).
extern "C" {
__attribute__((visibility("default"))) extern char _PyRuntime[];
__attribute__((visibility("default"))) int _Py_CheckRecursiveCall(PyThreadState* tstate,
                                                                  const char* where);
extern const std::size_t cantorel_runtime_offsets[3];
}

namespace compat {

template <typename T>
T read_at(const void* base, std::size_t offset) noexcept {
    T value;
    std::memcpy(&value, static_cast<const char*>(base) + offset, sizeof value);
    return value;
}

// The three fields, read directly once `check_layout()` has confirmed
// their offsets in the running interpreter; until then, or if they do not
// match, through the public calls.
inline char ask_marker;
inline void* const kAsk = &ask_marker;  // non-null: ask _Py_IsFinalizing()
inline void* const* finalizing_slot = &kAsk;   // &_PyRuntime._finalizing
inline void* const* tstate_slot = nullptr;      // &_PyRuntime.gilstate.tstate_current
inline std::size_t recursion_limit_offset = 0;  // in PyInterpreterState

// Once at start-up, with the GIL held: each offset is used only if what is
// found there is what the public calls say.
inline void check_layout() noexcept {
    const std::size_t* off = cantorel_runtime_offsets;
    finalizing_slot = read_at<void*>(_PyRuntime, off[0]) == nullptr && _Py_IsFinalizing() == 0
                          ? reinterpret_cast<void* const*>(_PyRuntime + off[0])
                          : &kAsk;
    PyThreadState* tstate = PyThreadState_Get();
    tstate_slot = read_at<void*>(_PyRuntime, off[1]) == static_cast<void*>(tstate)
                      ? reinterpret_cast<void* const*>(_PyRuntime + off[1])
                      : nullptr;
    recursion_limit_offset =
        read_at<int>(tstate->interp, off[2]) == Py_GetRecursionLimit() ? off[2] : 0;
}

// Whether the interpreter has begun to finalize. An owned handle asks
// before every decref, so the usual answer is one load.
inline bool is_finalizing() noexcept {
    void* finalizing;
    __atomic_load(finalizing_slot, &finalizing, __ATOMIC_RELAXED);
    return finalizing != nullptr && _Py_IsFinalizing() != 0;
}

// The thread state of the running thread, which holds the GIL.
inline PyThreadState* current_tstate() noexcept {
    if (tstate_slot != nullptr) {
        void* tstate;
        __atomic_load(tstate_slot, &tstate, __ATOMIC_RELAXED);
        return static_cast<PyThreadState*>(tstate);
    }
    return PyThreadState_Get();
}

// Py_EnterRecursiveCall(""), inline: counts a call toward the recursion
// limit as the interpreter counts its own; null with RecursionError set
// when the limit is passed. Pass the result to leave_call().
inline PyThreadState* enter_call() {
    PyThreadState* tstate = current_tstate();
    const int limit = recursion_limit_offset != 0
                          ? read_at<int>(tstate->interp, recursion_limit_offset)
                          : Py_GetRecursionLimit();
    if (++tstate->recursion_depth > limit && _Py_CheckRecursiveCall(tstate, "")) {
        return nullptr;
    }
    return tstate;
}

inline void leave_call(PyThreadState* tstate) noexcept { --tstate->recursion_depth; }

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

// `object.name` looked up as the interpreter loads a method it is about to
// call: 1 when a plain function was found on the type (to be called with
// `object` first, no bound method made), 0 for any other attribute; the new
// reference in *method, null with an exception set on failure.
inline int get_method(PyObject* object, PyObject* name, PyObject** method) {
    return _PyObject_GetMethod(object, name, method);
}

// Where the running interpreter's version string starts.
inline const char* running_version() noexcept { return Py_GetVersion(); }

}  // namespace compat
