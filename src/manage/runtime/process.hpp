// The runtime's process-wide data: created once by the module's exec step
// and never freed. No C++ static owns a Python object through a
// destructor, since such a destructor would run after the interpreter is
// gone.
#pragma once

#include <Python.h>

namespace rt {

struct Process {
    PyObject* empty_tuple;
    PyObject* empty_bytes;
    PyObject* empty_str;

    // The module the runtime serves, as its exec step names it before it
    // makes anything: the qualified name (the __module__ of its classes
    // and functions, the prefix of its traceback names) and the source
    // file that code objects and traceback entries show. Borrowed from
    // the module's constants, which live as long as the process.
    PyObject* module_name;
    PyObject* source_file;

    // The built-ins found at import (find_builtins()); later rebinding does
    // not change them.
    PyObject* builtin_staticmethod;
    PyObject* builtin_super;
    PyObject* builtin_print;

    PyTypeObject* function_type;

    // The module object once the exec step has taken it, else null.
    PyObject* module;
    PyObject* module_dict;
    PyObject* builtins_dict;
};

// The process-wide data; valid once `create_process_data()` has succeeded.
Process& process();

// Creates the runtime's data and every unit's constants (rt::Constant) on
// the first call; import-time code, so it throws PyErrorSet on failure (a
// later call tries again).
void create_process_data();

bool process_data_exists();

// Looks up the built-ins above in `builtins_dict`; throws PyErrorSet
// (NameError for one that is missing).
void find_builtins();

}  // namespace rt
