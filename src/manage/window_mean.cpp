#include "window_mean.hpp"


#include "classes.hpp"
#include "numpy_mean.hpp"

namespace manage {
namespace {

// What the module's imports bound at import, for the window's mean: numpy,
// its `mean`, and the C type collections.deque. Process-wide, never freed.
struct MeanSeen {
    PyObject* numpy = nullptr;
    PyObject* mean = nullptr;
    PyTypeObject* deque = nullptr;
};
MeanSeen mean_seen;

}  // namespace

bool window_mean_here(PyObject* np, PyObject* mean, PyObject* window, double* value) {
    const MeanSeen& seen = mean_seen;
    return np == seen.numpy && mean == seen.mean && seen.mean != nullptr &&
           numpy_mean_of_floats(window, seen.deque, value);
}

void RecVoice_imports_bound(Imports& imports) {
    MeanSeen& seen = mean_seen;
    PyObject* numpy = imports.genuine_numpy ? imports.np : nullptr;
    PyObject* deque = imports.deque;
    // Only numpy's own mean, the one its fromnumeric module defines, and the
    // C deque type: a stand-in bound before the module was imported (a fake
    // numpy, a replaced numpy.mean or deque) keeps the capture on np.mean.
    // Borrowed look-ups that run no Python code and set no error.
    if (numpy == nullptr || !PyModule_Check(numpy)) {
        return;
    }
    PyObject* mean = PyDict_GetItemString(PyModule_GetDict(numpy), "mean");
    PyObject* modules = PyImport_GetModuleDict();
    PyObject* defining = PyDict_GetItemString(modules, "numpy._core.fromnumeric");
    if (defining == nullptr) {
        defining = PyDict_GetItemString(modules, "numpy.core.fromnumeric");  // numpy 1
    }
    PyObject* defined = defining != nullptr && PyModule_Check(defining)
                            ? PyDict_GetItemString(PyModule_GetDict(defining), "mean")
                            : nullptr;
    // The deque is the one _collections defines (a heap type from 3.12 on,
    // so no type flag tells it from a Python class).
    PyObject* collections_c = PyDict_GetItemString(modules, "_collections");
    PyObject* c_deque = collections_c != nullptr && PyModule_Check(collections_c)
                            ? PyDict_GetItemString(PyModule_GetDict(collections_c), "deque")
                            : nullptr;
    const bool deque_is_c_type = deque != nullptr && deque == c_deque && PyType_Check(deque);
    if (mean == nullptr || mean != defined || !deque_is_c_type) {
        return;
    }
    Py_INCREF(numpy);
    Py_XSETREF(seen.numpy, numpy);
    Py_INCREF(mean);
    Py_XSETREF(seen.mean, mean);
    Py_INCREF(deque);
    Py_XSETREF(seen.deque, reinterpret_cast<PyTypeObject*>(deque));
}

}  // namespace manage
