#include "runtime/globals.hpp"

#include "runtime/compat.hpp"
#include "runtime/error.hpp"

namespace rt {

Owned global(const Here& here, Name n) {
    Process& p = process();
    PyObject* key = name(n);
    // Version tags are unique across all dictionaries, so an entry cached
    // from another namespace never matches this one.
    GlobalCacheEntry& cached = p.global_cache[static_cast<int>(n)];
    const uint64_t module_version = compat::dict_version(here.globals);
    const uint64_t builtins_version = compat::dict_version(p.builtins_dict);
    if (cached.value != nullptr && cached.module_version == module_version &&
        cached.builtins_version == builtins_version) {
        return Owned::ref(cached.value);
    }
    // Keys are exact interned str, so these look-ups run no Python code and
    // leave the version tags as they are.
    PyObject* value = PyDict_GetItemWithError(here.globals, key);
    if (value == nullptr) {
        if (PyErr_Occurred()) {
            raise_error();
        }
        value = PyDict_GetItemWithError(p.builtins_dict, key);
        if (value == nullptr) {
            if (!PyErr_Occurred()) {
                PyErr_Format(PyExc_NameError, "name '%U' is not defined", key);
            }
            raise_error();
        }
    }
    cached = GlobalCacheEntry{module_version, builtins_version, value};
    return Owned::ref(value);
}

}  // namespace rt
