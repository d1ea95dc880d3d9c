// Module-global look-up at each use: the module namespace, then the
// built-ins, else NameError, as a Python function's LOAD_GLOBAL does. The
// host may rebind or delete a module global at any time and the next use
// sees it.
#pragma once

#include <cstdint>

#include "runtime/compat.hpp"
#include "runtime/constants.hpp"
#include "runtime/process.hpp"
#include "runtime/ref.hpp"

namespace rt {

// A module-global name with the result of its last look-up, valid while
// both dictionaries keep their version tags (tags are unique across all
// dictionaries, so an entry cached from another namespace never matches).
class Global {
public:
    explicit Global(const char* name) noexcept : name_(name) {}
    PyObject* name() const noexcept { return name_.get(); }

private:
    friend Owned global(PyObject* globals, const Global& g);
    friend Owned global_slow(PyObject* globals, const Global& g);
    Constant name_;
    mutable uint64_t module_version_ = 0;
    mutable uint64_t builtins_version_ = 0;
    mutable PyObject* value_ = nullptr;  // borrowed from one of the two dictionaries
};

Owned global_slow(PyObject* globals, const Global& g);

// The value of `g` in `globals` (a function's __globals__) or the
// built-ins; null with NameError set when it is in neither.
inline Owned global(PyObject* globals, const Global& g) {
    if (g.value_ != nullptr && g.module_version_ == compat::dict_version(globals) &&
        g.builtins_version_ == compat::dict_version(process().builtins_dict)) {
        return Owned::ref(g.value_);
    }
    return global_slow(globals, g);
}

}  // namespace rt
