#include "runtime/globals.hpp"

namespace rt {

Owned global_slow(PyObject* globals, const Global& g) {
    PyObject* builtins = process().builtins_dict;
    PyObject* key = g.name();
    const uint64_t module_version = compat::dict_version(globals);
    const uint64_t builtins_version = compat::dict_version(builtins);
    // Keys are exact interned str, so these look-ups run no Python code and
    // leave the version tags as they are.
    PyObject* value = PyDict_GetItemWithError(globals, key);
    if (value == nullptr) {
        if (PyErr_Occurred()) {
            return failure;
        }
        value = PyDict_GetItemWithError(builtins, key);
        if (value == nullptr) {
            if (!PyErr_Occurred()) {
                PyErr_Format(PyExc_NameError, "name '%U' is not defined", key);
            }
            return failure;
        }
    }
    g.module_version_ = module_version;
    g.builtins_version_ = builtins_version;
    g.value_ = value;
    return Owned::ref(value);
}

}  // namespace rt
