// The type of the module's function objects: they bind to instances as
// Python functions do, are called through vectorcall, and carry the
// introspection data of a Python function (__code__, __defaults__, ...).
#pragma once

#include <Python.h>

#include "runtime/process.hpp"
#include "runtime/signature.hpp"

namespace rt {

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    MethodRuntime* method;  // process-wide, never freed
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* globals;
    PyObject* code;
    PyObject* defaults;     // what introspection reports; binding uses method->fixed_defaults
    PyObject* kwdefaults;
    PyObject* annotations;
    PyObject* dict;
    PyObject* class_cell;   // the class that zero-argument super() refers to
    PyObject* weakreflist;
};

// Creates the function type, bound to `module`; throws PyErrorSet.
PyTypeObject* create_function_type(PyObject* module);

// A new function object for `method`, with the module namespace as globals.
Owned new_function(MethodRuntime& method);

// Sets the class of a function that uses zero-argument super().
void set_class_cell(PyObject* function, PyObject* cls);

// Whether `callable` is one of the module's functions running `body` (a
// row's), whatever function object carries it. Runs no Python code.
inline bool runs_body(PyObject* callable, Body body) {
    return Py_TYPE(callable) == process().function_type &&
           reinterpret_cast<FunctionObject*>(callable)->method->body == body;
}

// The class cell of the function being called (for super()).
inline PyObject* class_cell(PyObject* function) {
    return reinterpret_cast<FunctionObject*>(function)->class_cell;
}

}  // namespace rt
