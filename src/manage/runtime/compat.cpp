// The parts of the compatibility unit that are not on a hot path.
#include "runtime/compat.hpp"
#include "runtime/compat_errors.hpp"
#include "runtime/ref.hpp"

namespace compat {

#if CANTOREL_PY312
namespace {

int dict_watcher = -1;  // per process: the module is loaded into one interpreter
uint64_t last_tag = 0;  // every tag handed out is new

// Runs before the change, with the GIL held and no Python code in between:
// the next look-up sees the new tag and looks again once the change is made.
int on_dict_event(PyDict_WatchEvent event, PyObject* dict, PyObject*, PyObject*) noexcept {
    for (int i = 0; i < watched_count; ++i) {
        if (watched_dicts[i].dict != dict) {
            continue;
        }
        if (event == PyDict_EVENT_DEALLOCATED) {
            // Its address may be reused by a dictionary nobody watches.
            watched_dicts[i] = watched_dicts[--watched_count];
        } else {
            watched_dicts[i].tag = ++last_tag;
        }
        break;
    }
    return 0;
}

}  // namespace

void start_dict_tags() {
    if (dict_watcher >= 0) {
        return;
    }
    dict_watcher = PyDict_AddWatcher(on_dict_event);
    if (dict_watcher < 0) {
        PyErr_Clear();  // no watcher left: every look-up is made afresh
    }
}

uint64_t watch_dict(PyObject* dict) noexcept {
    if (dict_watcher < 0 || watched_count == kWatchedDicts) {
        return ++last_tag;  // a tag nothing holds: never a cached answer
    }
    const PendingError pending = take_error();  // may be asked while an error is set
    const bool watching = PyDict_Watch(dict_watcher, dict) == 0;
    PyErr_Clear();
    put_back(pending);
    if (!watching) {
        return ++last_tag;
    }
    watched_dicts[watched_count] = {dict, ++last_tag};
    return watched_dicts[watched_count++].tag;
}

#else

void start_dict_tags() {}

#if CANTOREL_PUBLIC_API
uint64_t untagged() noexcept {
    static uint64_t last_tag = 0;
    return ++last_tag;
}
#endif

#endif

#if CANTOREL_PY313 && CANTOREL_PRIVATE_API
PyObject* checked_result(PyObject* callable, PyObject* result) {
    if (result == nullptr) {
        if (!PyErr_Occurred()) {
            PyErr_Format(PyExc_SystemError, "%R returned NULL without setting an exception",
                         callable);
        }
        return nullptr;
    }
    // The pending error becomes the cause (and the context) of the
    // interpreter's SystemError.
    rt::Owned::steal(result).reset();
    rt::Owned cause = rt::Owned::steal(PyErr_GetRaisedException());
    PyErr_Format(PyExc_SystemError, "%R returned a result with an exception set", callable);
    PyObject* error = PyErr_GetRaisedException();
    PyException_SetCause(error, Py_NewRef(cause.get()));
    PyException_SetContext(error, cause.release());  // both steal
    PyErr_SetRaisedException(error);                 // steals
    return nullptr;
}
#endif

int class_body_begins(PyObject* ns, int first_line) {
#if CANTOREL_PY313
    rt::Owned line = rt::Owned::steal(PyLong_FromLong(first_line));
    return line ? PyMapping_SetItemString(ns, "__firstlineno__", line.get()) : -1;
#else
    (void)ns;
    (void)first_line;
    return 0;
#endif
}

int class_body_ends(PyObject* ns, const std::vector<const char*>& self_attributes) {
#if CANTOREL_PY313
    rt::Owned names = rt::Owned::steal(PyList_New(0));
    if (!names) {
        return -1;
    }
    for (const char* text : self_attributes) {
        rt::Owned name = rt::Owned::steal(PyUnicode_InternFromString(text));
        if (!name || PyList_Append(names.get(), name.get()) < 0) {
            return -1;
        }
    }
    if (PyList_Sort(names.get()) < 0) {
        return -1;
    }
    rt::Owned sorted = rt::Owned::steal(PyList_AsTuple(names.get()));
    return sorted ? PyMapping_SetItemString(ns, "__static_attributes__", sorted.get()) : -1;
#else
    (void)ns;
    (void)self_attributes;
    return 0;
#endif
}

}  // namespace compat
