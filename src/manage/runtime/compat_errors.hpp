// The error state as each interpreter version keeps it: the pending
// exception set aside and put back, taken over by a handler, and what
// sys.exc_info() shows while the handler runs. From 3.12 one exception
// object stands for the pending error (the triple calls are deprecated
// there), from 3.11 for the handled one.
#pragma once

#include "runtime/compat.hpp"

namespace compat {

// The pending exception set aside and put back: from 3.12 the one
// exception object, before it the interpreter's triple (not normalised).
#if CANTOREL_PY312
struct PendingError {
    PyObject* exc;
};
inline PendingError take_error() noexcept { return {PyErr_GetRaisedException()}; }
inline void put_back(PendingError error) noexcept { PyErr_SetRaisedException(error.exc); }
// The error's traceback, for comparing identities only (the error keeps it).
inline PyObject* traceback_of(const PendingError& error) noexcept {
    PyObject* tb = error.exc != nullptr ? PyException_GetTraceback(error.exc) : nullptr;
    Py_XDECREF(tb);
    return tb;
}
#else
struct PendingError {
    PyObject *type, *value, *tb;
};
inline PendingError take_error() noexcept {
    PendingError error;
    PyErr_Fetch(&error.type, &error.value, &error.tb);
    return error;
}
inline void put_back(PendingError error) noexcept { PyErr_Restore(error.type, error.value, error.tb); }
inline PyObject* traceback_of(const PendingError& error) noexcept { return error.tb; }
#endif

// The pending exception taken over for a handler: normalised, its
// traceback attached; three new references (null when none is pending).
inline void take_normalized(PyObject** type, PyObject** value, PyObject** tb) {
#if CANTOREL_PY312
    *value = PyErr_GetRaisedException();
    *type = *value != nullptr ? Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(*value))) : nullptr;
    *tb = *value != nullptr ? PyException_GetTraceback(*value) : nullptr;
#else
    PyErr_Fetch(type, value, tb);
    PyErr_NormalizeException(type, value, tb);
    if (*tb != nullptr) {
        PyException_SetTraceback(*value, *tb);
    }
#endif
}

// Raises again what take_normalized() took, with the traceback it had
// then; steals the three references.
inline void raise_normalized(PyObject* type, PyObject* value, PyObject* tb) {
#if CANTOREL_PY312
    if (value != nullptr && tb != nullptr) {
        PyException_SetTraceback(value, tb);
    }
    Py_XDECREF(type);
    Py_XDECREF(tb);
    PyErr_SetRaisedException(value);
#else
    PyErr_Restore(type, value, tb);
#endif
}

// What sys.exc_info() shows, set aside while a handler runs: from 3.11 the
// one exception object, before it the triple.
struct SavedExcInfo {
#if CANTOREL_PY311
    PyObject* exc;
#else
    PyObject *type, *value, *tb;
#endif
};

// Sets aside what sys.exc_info() shows (new references) and shows the
// handled exception (borrowed) instead.
inline SavedExcInfo swap_exc_info(PyObject* type, PyObject* value, PyObject* tb) {
#if CANTOREL_PY311
    (void)type;
    (void)tb;
    SavedExcInfo saved{PyErr_GetHandledException()};
    PyErr_SetHandledException(value);
#else
    SavedExcInfo saved;
    PyErr_GetExcInfo(&saved.type, &saved.value, &saved.tb);
    Py_XINCREF(type);
    Py_XINCREF(value);
    Py_XINCREF(tb);
    PyErr_SetExcInfo(type, value, tb);
#endif
    return saved;
}

// Shows what swap_exc_info() set aside again; consumes it.
inline void restore_exc_info(SavedExcInfo saved) {
#if CANTOREL_PY311
    PyErr_SetHandledException(saved.exc);
    Py_XDECREF(saved.exc);
#else
    PyErr_SetExcInfo(saved.type, saved.value, saved.tb);
#endif
}

}  // namespace compat
