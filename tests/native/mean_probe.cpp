// `_cantorel_mean_probe.mean(window)`: the capture loop's own mean of the
// smoothing window (numpy_mean.hpp) as a float, or None where the
// loop leaves the window to np.mean. Built by tests/test_capture_mean.py.
#include <Python.h>

#include "numpy_mean.hpp"

namespace {

PyTypeObject* deque_type = nullptr;

PyObject* mean(PyObject*, PyObject* window) {
    double value;
    if (!manage::numpy_mean_of_floats(window, deque_type, &value)) {
        Py_RETURN_NONE;
    }
    return PyFloat_FromDouble(value);
}

PyMethodDef methods[] = {{"mean", mean, METH_O, nullptr}, {nullptr, nullptr, 0, nullptr}};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "_cantorel_mean_probe", nullptr, -1, methods};

}  // namespace

PyMODINIT_FUNC PyInit__cantorel_mean_probe() {
    PyObject* collections = PyImport_ImportModule("collections");
    if (collections == nullptr) {
        return nullptr;
    }
    PyObject* deque = PyObject_GetAttrString(collections, "deque");
    Py_DECREF(collections);
    if (deque == nullptr) {
        return nullptr;
    }
    deque_type = reinterpret_cast<PyTypeObject*>(deque);  // kept for the process
    return PyModule_Create(&module_def);
}
