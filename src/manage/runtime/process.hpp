// The module's process-wide data: created once by the exec step and never
// freed. No C++ static owns a Python object through a destructor, since
// such a destructor would run after the interpreter is gone.
#pragma once

#include <Python.h>

namespace rt {

enum class Name : int {
#define NAME(id, text) id,
#include "runtime/names.def"
#undef NAME
    count_
};

struct Process {
    PyObject* names[static_cast<int>(Name::count_)];
    PyObject* empty_tuple;
    PyObject* empty_bytes;
    PyObject* empty_str;

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
};

// The process-wide data; valid once `create_process_data()` has succeeded.
Process& process();
// Creates the names and constants on the first call, the runtime's and
// every unit's (rt::Constant); false with an exception set on failure (a
// later call tries again).
bool create_process_data();

bool process_data_exists();

inline PyObject* name(Name n) { return process().names[static_cast<int>(n)]; }

}  // namespace rt
