// Everything that depends on the interpreter version lives here, in the
// error state's own header (compat_errors.hpp) and in the start-up checks'
// offsets (layout.c), so that a newer interpreter means changing this unit
// and nothing else. Each build is for the version it is compiled against:
// 3.10 to 3.13 in detail, anything newer through the public path.
//
// Two paths. The public one uses only the documented C API (its unstable
// tier included) and the thread state's recursion count, a field of the
// public headers' PyThreadState that no call exposes. The private one adds
// shortcuts measured to pay on the versions they are written for: fields
// read at offsets confirmed at start-up, the recursion counts kept inline,
// the dictionaries' version tags, and on 3.13 calls straight to the
// callee's vectorcall slot. CANTOREL_PUBLIC_API=1 (the build option of the
// same name) forces the public path; a version this unit does not know in
// detail gets it anyway.
#pragma once

#include <Python.h>
#include <frameobject.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#if PY_VERSION_HEX < 0x030A0000
#error "cantorel needs CPython 3.10 or later"
#endif

#define CANTOREL_PY311 (PY_VERSION_HEX >= 0x030B0000)
#define CANTOREL_PY312 (PY_VERSION_HEX >= 0x030C0000)
#define CANTOREL_PY313 (PY_VERSION_HEX >= 0x030D0000)

#if PY_VERSION_HEX >= 0x030E0000
#undef CANTOREL_PUBLIC_API
#define CANTOREL_PUBLIC_API 1
#elif !defined(CANTOREL_PUBLIC_API)
#define CANTOREL_PUBLIC_API 0
#endif
#define CANTOREL_PRIVATE_API (!CANTOREL_PUBLIC_API)

// Code flags the signature code objects set; 3.11 dropped CO_NOFREE (no
// code object carries it any more), so it adds nothing there.
#ifndef CO_NOFREE
#define CO_NOFREE 0
#endif

#if CANTOREL_PRIVATE_API
// The interpreter's runtime state and the calls behind its recursion check
// and method loading, exported by libpython but declared only in its
// internal headers; and the offsets of the fields read directly
// (layout.c; kNoField where this version has no such field).
extern "C" {
__attribute__((visibility("default"))) extern char _PyRuntime[];
#if !CANTOREL_PY312
__attribute__((visibility("default"))) int _Py_CheckRecursiveCall(PyThreadState* tstate,
                                                                  const char* where);
#endif
#if CANTOREL_PY313
__attribute__((visibility("default"))) int _PyObject_GetMethod(PyObject* obj, PyObject* name,
                                                               PyObject** method);
#endif
extern const std::size_t cantorel_runtime_offsets[3];
}
#endif

namespace compat {

inline int interpreter_is_finalizing() noexcept {
#if CANTOREL_PY313
    return Py_IsFinalizing();
#else
    return _Py_IsFinalizing();  // no documented call before 3.13
#endif
}

// The thread state of the running thread, asked of the interpreter.
inline PyThreadState* asked_tstate() noexcept {
#if CANTOREL_PY313
    return PyThreadState_GetUnchecked();
#elif CANTOREL_PUBLIC_API
    return PyThreadState_Get();  // the GIL is held: never null here
#else
    return _PyThreadState_UncheckedGet();
#endif
}

// Makes a str's storage canonical before it is read directly; from 3.12
// every str is, and the call is gone in later versions.
inline int unicode_ready(PyObject* text) noexcept {
#if CANTOREL_PY312
    (void)text;
    return 0;
#else
    return PyUnicode_READY(text);
#endif
}

#if CANTOREL_PRIVATE_API
inline constexpr std::size_t kNoField = ~std::size_t{0};

template <typename T>
T read_at(const void* base, std::size_t offset) noexcept {
    T value;
    std::memcpy(&value, static_cast<const char*>(base) + offset, sizeof value);
    return value;
}

// The fields read directly once `check_layout()` has confirmed their
// offsets in the running interpreter; until then, where they do not match,
// or where this version keeps them elsewhere (3.12 moved the current thread
// state into a thread-local variable of libpython; from 3.11 the recursion
// limit travels in the thread state), through the public calls.
inline char ask_marker;
inline void* const kAsk = &ask_marker;  // non-null: ask interpreter_is_finalizing()
inline void* const* finalizing_slot = &kAsk;   // &_PyRuntime._finalizing
inline void* const* tstate_slot = nullptr;      // &_PyRuntime.gilstate.tstate_current (< 3.12)
inline std::size_t recursion_limit_offset = 0;  // in PyInterpreterState (3.10)
#endif

// Which direct reads are in use: 1 confirmed, 0 not confirmed, -1 not
// needed on this version or path. For tests.
struct DirectReads {
    int finalizing, tstate, recursion_limit;
};
inline DirectReads direct_reads() noexcept {
#if CANTOREL_PRIVATE_API
    const std::size_t* off = cantorel_runtime_offsets;
    auto state = [](std::size_t offset, bool used) { return offset == kNoField ? -1 : used ? 1 : 0; };
    return {state(off[0], finalizing_slot != &kAsk), state(off[1], tstate_slot != nullptr),
            state(off[2], recursion_limit_offset != 0)};
#else
    return {-1, -1, -1};
#endif
}

void start_dict_tags();  // compat.cpp

// Once at start-up, with the GIL held: each offset is used only if what is
// found there is what the public calls say.
inline void check_layout() noexcept {
#if CANTOREL_PRIVATE_API
    const std::size_t* off = cantorel_runtime_offsets;
    finalizing_slot = off[0] != kNoField && read_at<void*>(_PyRuntime, off[0]) == nullptr &&
                              interpreter_is_finalizing() == 0
                          ? reinterpret_cast<void* const*>(_PyRuntime + off[0])
                          : &kAsk;
    PyThreadState* tstate = PyThreadState_Get();
    tstate_slot = off[1] != kNoField && read_at<void*>(_PyRuntime, off[1]) == static_cast<void*>(tstate)
                      ? reinterpret_cast<void* const*>(_PyRuntime + off[1])
                      : nullptr;
    recursion_limit_offset =
        off[2] != kNoField && read_at<int>(tstate->interp, off[2]) == Py_GetRecursionLimit()
            ? off[2]
            : 0;
#endif
    start_dict_tags();
}

// Whether the interpreter has begun to finalize. An owned handle asks
// before every decref, so on the private path the usual answer is one load.
inline bool is_finalizing() noexcept {
#if CANTOREL_PRIVATE_API
    void* finalizing;
    __atomic_load(finalizing_slot, &finalizing, __ATOMIC_RELAXED);
    return finalizing != nullptr && interpreter_is_finalizing() != 0;
#else
    return interpreter_is_finalizing() != 0;
#endif
}

// The thread state of the running thread, which holds the GIL.
inline PyThreadState* current_tstate() noexcept {
#if CANTOREL_PRIVATE_API
    if (tstate_slot != nullptr) {
        void* tstate;
        __atomic_load(tstate_slot, &tstate, __ATOMIC_RELAXED);
        return static_cast<PyThreadState*>(tstate);
    }
#endif
    return asked_tstate();
}

#if CANTOREL_PY312
// The interpreter's own check when a Python frame passes the limit (not
// exported): RecursionError, with 50 calls of headroom to handle it. Where
// the interpreter would give up with a fatal error (overflowing while
// handling an overflow), the error is raised again instead.
[[gnu::noinline, gnu::cold]] inline int python_recursion_exceeded(PyThreadState* tstate) {
    if (tstate->recursion_headroom && tstate->py_recursion_remaining >= -50) {
        return 0;
    }
    tstate->recursion_headroom++;
    PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded");
    tstate->recursion_headroom--;
    return -1;
}

#if CANTOREL_PRIVATE_API
// Once the inline C count is used up, after the Python count has been
// taken: the interpreter's own check, its RecursionError (and the Python
// count given back) unless it is handling one already.
[[gnu::noinline, gnu::cold]] inline bool c_guard_refused(PyThreadState* tstate) {
    if (Py_EnterRecursiveCall("") == 0) {
        return false;
    }
    ++tstate->py_recursion_remaining;
    return true;
}
#endif
#endif

// Counts a call toward the recursion limit as the interpreter counts a call
// of a Python function, and toward the guard it keeps for C recursion, so a
// loop through the module's own functions ends in RecursionError at the
// depth a Python loop would, or sooner where the C stack would run out.
// Up to 3.11 both are one count (Py_EnterRecursiveCall's). From 3.12 the
// Python count (py_recursion_remaining, which sys.setrecursionlimit sets) is
// a field of the thread state, and the C guard is Py_EnterRecursiveCall's
// (a fixed count to 3.13, the stack's own bounds from 3.14). Null with
// RecursionError set when a limit is passed; pass the result to leave_call().
inline PyThreadState* enter_call() {
    PyThreadState* tstate = current_tstate();
#if CANTOREL_PY312
    if (tstate->py_recursion_remaining-- <= 0 && python_recursion_exceeded(tstate)) {
        ++tstate->py_recursion_remaining;
        return nullptr;
    }
#if CANTOREL_PRIVATE_API
    // Py_EnterRecursiveCall's count, kept inline; the call itself raises
    // once it is used up.
    if (tstate->c_recursion_remaining-- <= 0) {
        ++tstate->c_recursion_remaining;
        if (c_guard_refused(tstate)) {
            return nullptr;
        }
    }
#else
    if (Py_EnterRecursiveCall("")) {
        ++tstate->py_recursion_remaining;
        return nullptr;
    }
#endif
#elif CANTOREL_PUBLIC_API
    if (Py_EnterRecursiveCall("")) {
        return nullptr;
    }
#elif CANTOREL_PY311
    // _Py_CheckRecursiveCall gives the count back itself when it fails.
    if (tstate->recursion_remaining-- <= 0 && _Py_CheckRecursiveCall(tstate, "")) {
        return nullptr;
    }
#else
    const int limit = recursion_limit_offset != 0
                          ? read_at<int>(tstate->interp, recursion_limit_offset)
                          : Py_GetRecursionLimit();
    if (++tstate->recursion_depth > limit && _Py_CheckRecursiveCall(tstate, "")) {
        return nullptr;
    }
#endif
    return tstate;
}

inline void leave_call(PyThreadState* tstate) noexcept {
#if CANTOREL_PY312
    ++tstate->py_recursion_remaining;
#if CANTOREL_PRIVATE_API
    ++tstate->c_recursion_remaining;
#else
    Py_LeaveRecursiveCall();
#endif
#elif CANTOREL_PUBLIC_API
    (void)tstate;
    Py_LeaveRecursiveCall();
#elif CANTOREL_PY311
    ++tstate->recursion_remaining;
#else
    --tstate->recursion_depth;
#endif
}

// The identifier of the interpreter running on this thread, or -1 with an
// exception set.
inline int64_t interpreter_id() {
    PyInterpreterState* interp = PyInterpreterState_Get();
    return PyInterpreterState_GetID(interp);
}

// Looks up an attribute that may be missing: 1 and a new reference in
// *result when found, 0 and null when missing (no error set), -1 on error.
inline int lookup_optional_attr(PyObject* object, PyObject* name, PyObject** result) {
#if CANTOREL_PY313
    return PyObject_GetOptionalAttr(object, name, result);
#else
    // Only class creation and the import ask: no shortcut pays here.
    *result = PyObject_GetAttr(object, name);
    if (*result != nullptr) {
        return 1;
    }
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
        return -1;
    }
    PyErr_Clear();
    return 0;
#endif
}

#if CANTOREL_PY312
// From 3.12 the dictionaries' own version tags are deprecated (gone in
// 3.14); the module keeps tags of its own for the few dictionaries it
// caches look-ups from (module namespaces, the built-ins), renewed by a
// dict watcher on every change. A dictionary first asked about is watched
// from then on.
struct WatchedDict {
    PyObject* dict;  // borrowed; removed from the table when it is freed
    uint64_t tag;
};
inline constexpr int kWatchedDicts = 16;
inline WatchedDict watched_dicts[kWatchedDicts];
inline int watched_count = 0;
uint64_t watch_dict(PyObject* dict) noexcept;  // compat.cpp
#elif CANTOREL_PUBLIC_API
uint64_t untagged() noexcept;  // compat.cpp
#endif

// A tag that changes whenever the dictionary changes, and that no other
// dictionary has at the same time; good only for caching. Before 3.12 the
// public path has no such tag: every answer is a new one, so nothing is
// taken from a cache.
inline uint64_t dict_version(PyObject* dict) noexcept {
#if CANTOREL_PY312
    for (int i = 0; i < watched_count; ++i) {
        if (watched_dicts[i].dict == dict) {
            return watched_dicts[i].tag;
        }
    }
    return watch_dict(dict);
#elif CANTOREL_PUBLIC_API
    (void)dict;
    return untagged();
#else
    return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
#endif
}

// A code object without byte code that carries a function's signature for
// introspection. Returns a new reference or null with an exception set.
inline PyObject* new_signature_code(int argcount, int flags, PyObject* varnames,
                                    PyObject* filename, PyObject* name, int firstlineno,
                                    PyObject* empty_bytes, PyObject* empty_tuple) {
    const int nlocals = static_cast<int>(PyTuple_GET_SIZE(varnames));
#if CANTOREL_PY312
    return reinterpret_cast<PyObject*>(PyUnstable_Code_NewWithPosOnlyArgs(
        argcount, 0, 0, nlocals, 0, flags, empty_bytes, empty_tuple, empty_tuple, varnames,
        empty_tuple, empty_tuple, filename, name, name, firstlineno, empty_bytes, empty_bytes));
#elif CANTOREL_PY311
    return reinterpret_cast<PyObject*>(PyCode_NewWithPosOnlyArgs(
        argcount, 0, 0, nlocals, 0, flags, empty_bytes, empty_tuple, empty_tuple, varnames,
        empty_tuple, empty_tuple, filename, name, name, firstlineno, empty_bytes, empty_bytes));
#else
    return reinterpret_cast<PyObject*>(PyCode_NewWithPosOnlyArgs(
        argcount, 0, 0, nlocals, 0, flags, empty_bytes, empty_tuple, empty_tuple, varnames,
        empty_tuple, empty_tuple, filename, name, firstlineno, empty_bytes));
#endif
}

// A frame for a traceback entry at `line`; new reference or null. `code`
// is PyCode_NewEmpty(file, function, line), and a fresh frame's line is
// its code's first line: `line`. (3.10's private path also sets the
// frame's own line field, as the interpreter's _PyTraceback_Add does.)
inline PyObject* new_traceback_frame(PyCodeObject* code, PyObject* globals, int line) {
    PyFrameObject* frame = PyFrame_New(PyThreadState_Get(), code, globals, nullptr);
#if !CANTOREL_PY311 && CANTOREL_PRIVATE_API
    if (frame != nullptr) {
        frame->f_lineno = line;
    }
#else
    (void)line;
#endif
    return reinterpret_cast<PyObject*>(frame);
}

// `object.name` looked up as the interpreter loads a method it is about to
// call: 1 when a plain function was found on the type (to be called with
// `object` first, no bound method made), 0 for any other attribute; the new
// reference in *method, null with an exception set on failure. Elsewhere
// than on 3.13's private path, whose direct calls need it, the method is
// always bound, which calls the same function with the same arguments (the
// one method loaded so is the capture's read, once a frame).
inline int get_method(PyObject* object, PyObject* name, PyObject** method) {
#if CANTOREL_PY313 && CANTOREL_PRIVATE_API
    return _PyObject_GetMethod(object, name, method);
#else
    *method = PyObject_GetAttr(object, name);
    return 0;
#endif
}

// callable(args), and argv[0].name(*argv[1:nargs], **kwnames) with the
// method looked up as a method call does. Every result is checked as the
// interpreter checks it: null without an exception, or a value with one
// set, becomes the SystemError that names the callee.
#if CANTOREL_PY313 && CANTOREL_PRIVATE_API
// On 3.13 the library's calls each ask libpython for the thread state
// before they call the callable's vectorcall slot; calling the slot here
// and asking only whether an error is pending saves that. compat.cpp.
PyObject* checked_result(PyObject* callable, PyObject* result);

inline PyObject* vectorcall(PyObject* callable, PyObject* const* args, std::size_t nargsf,
                            PyObject* kwnames) {
    const vectorcallfunc slot = PyVectorcall_Function(callable);
    if (slot == nullptr) {
        return PyObject_Vectorcall(callable, args, nargsf, kwnames);
    }
    PyObject* result = slot(callable, args, nargsf, kwnames);
    if (result == nullptr || PyErr_Occurred() != nullptr) {
        return checked_result(callable, result);
    }
    return result;
}

inline PyObject* vectorcall_method(PyObject* name, PyObject** argv, std::size_t nargs,
                                   PyObject* kwnames) {
    PyObject* callable = nullptr;
    const int unbound = get_method(argv[0], name, &callable);
    if (callable == nullptr) {
        return nullptr;
    }
    // A raw reference: released on return, and nothing to release if a
    // thread ended at exit unwinds through here. Unbound, the callee gets
    // all of argv and no right to write before it; bound, argv[0] is the
    // slot it may borrow.
    PyObject* result =
        unbound ? vectorcall(callable, argv, nargs, kwnames)
                : vectorcall(callable, argv + 1, (nargs - 1) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                             kwnames);
    Py_DECREF(callable);
    return result;
}
#else
inline PyObject* vectorcall(PyObject* callable, PyObject* const* args, std::size_t nargsf,
                            PyObject* kwnames) {
    return PyObject_Vectorcall(callable, args, nargsf, kwnames);
}

inline PyObject* vectorcall_method(PyObject* name, PyObject** argv, std::size_t nargs,
                                   PyObject* kwnames) {
    return PyObject_VectorcallMethod(name, argv, nargs | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames);
}
#endif

// What the compiler of this version adds to a class body's namespace
// around the body's own statements (3.13: __firstlineno__ first,
// __static_attributes__, the sorted names, last). 0, or -1 with an
// exception set. compat.cpp.
int class_body_begins(PyObject* ns, int first_line);
int class_body_ends(PyObject* ns, const std::vector<const char*>& self_attributes);

// Where the running interpreter's version string starts.
inline const char* running_version() noexcept { return Py_GetVersion(); }

}  // namespace compat
