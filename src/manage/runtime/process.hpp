// The module's process-wide data: created once by the exec step and never
// freed. No C++ static owns a Python object through a destructor, since
// such a destructor would run after the interpreter is gone.
#pragma once

#include <Python.h>

#include <cstdint>

namespace rt {

enum class Name : int {
#define NAME(id, text) id,
#include "runtime/names.def"
#undef NAME
    count_
};

// Number constants of the method bodies.
struct Numbers {
    PyObject* f0_35;
    PyObject* f0_6;
    PyObject* f32768;
    PyObject* i0;
    PyObject* i1;
    PyObject* i2;
    PyObject* i3;
    PyObject* i4;
    PyObject* i5;
    PyObject* i10;
    PyObject* i64;
    PyObject* i128;
    PyObject* i512;
    PyObject* i16000;
    PyObject* i48000;
    PyObject* i_minus64;
};

// A cached module-global look-up, valid while both dictionaries keep their
// version tags.
struct GlobalCacheEntry {
    uint64_t module_version;
    uint64_t builtins_version;
    PyObject* value;  // borrowed from one of the two dictionaries
};

struct Process {
    PyObject* names[static_cast<int>(Name::count_)];
    Numbers number;
    PyObject* empty_tuple;
    PyObject* empty_bytes;
    PyObject* empty_str;

    // Shape and subscript constants of the detector.
    PyObject* state_shape;      // (2, 1, 128)
    PyObject* context_shape;    // (1, 64)
    PyObject* last_64_columns;  // [:, -64:]
    PyObject* all_columns;      // the `:` of [np.newaxis, :]
    PyObject* kw_dtype;         // ("dtype",)
    PyObject* kw_axis;          // ("axis",)
    PyObject* kw_providers;     // ("providers",)

    // The built-ins found at import; later rebinding does not change them.
    PyObject* builtin_staticmethod;
    PyObject* builtin_super;
    PyObject* builtin_print;
    PyObject* builtin_range;

    PyTypeObject* function_type;

    // The module object once the exec step has taken it, else null.
    PyObject* module;
    PyObject* module_dict;
    PyObject* builtins_dict;

    GlobalCacheEntry global_cache[static_cast<int>(Name::count_)];
};

// The process-wide data; valid once `create_process_data()` has succeeded.
Process& process();
// Creates the names and constants on the first call; false with an
// exception set on failure (a later call tries again).
bool create_process_data();

bool process_data_exists();

inline PyObject* name(Name n) { return process().names[static_cast<int>(n)]; }

}  // namespace rt
