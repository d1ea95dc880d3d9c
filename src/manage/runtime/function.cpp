#include "runtime/function.hpp"

#include <structmember.h>

#include <cxxabi.h>

#include <exception>
#include <new>

#include "runtime/error.hpp"
#include "runtime/process.hpp"

namespace rt {
namespace {

FunctionObject* as_function(PyObject* self) { return reinterpret_cast<FunctionObject*>(self); }

// Runs the body on bound values; returns a new reference, or null with the
// exception set and the method's entry added. Calls through the module's
// functions count toward the recursion limit as the interpreter's own calls
// do, so runaway recursion is a RecursionError rather than a stack overflow.
inline PyObject* run_body(MethodRuntime& m, Here& here, PyObject* const* values) {
    PyThreadState* tstate = compat::enter_call();
    if (tstate == nullptr) {
        return nullptr;
    }
    PyObject* result = m.body(here, values);
    compat::leave_call(tstate);
    if (result == nullptr) {
        here.add_traceback();
    }
    return result;
}

// Every call but an exact positional one: binds keywords, defaults and
// extra arguments, type-tests, then runs the body.
[[gnu::noinline]] PyObject* bind_and_run(MethodRuntime& m, Here& here, PyObject* const* args,
                                         Py_ssize_t nargs, PyObject* kwnames) {
    const bool by_shape = kwnames != nullptr && !m.spec.collects_extra;
    if (by_shape) {
        PyObject* values[kMaxParams];
        if (bind_remembered(m, args, nargs, kwnames, values)) {
            if (m.has_type_tests && !type_tests_pass(m, values)) {
                return nullptr;  // reported at the caller only
            }
            return run_body(m, here, values);
        }
    }
    Bound bound;
    switch (bind_arguments(m, args, nargs, kwnames, bound)) {
        case BindResult::ok:
            break;
        case BindResult::binding_failed:
            here.add_traceback();
            return nullptr;
        case BindResult::type_test_failed:
            return nullptr;  // reported at the caller only
    }
    if (by_shape) {
        remember(m, nargs, kwnames, bound);
    }
    return run_body(m, here, bound.value);
}

// The entry point CPython calls. Python errors travel as return values; a
// C++ exception (import-time code reached from a body, a C++ library's
// failure) becomes the Python error entry_point() makes of it, with the
// method's traceback entry.
PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) {
    FunctionObject* f = as_function(self);
    MethodRuntime& m = *f->method;
    // The caller may hold only a borrowed reference (a bound method in an
    // instance dict that the body clears); the body uses the function's
    // globals and class cell until it returns.
    Py_INCREF(self);
    Here here{m.site, m.first_line, f->globals, self};
    PyObject* result = nullptr;
    const bool returned = entry_point(m.spec.name, [&] {
        const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
        // Exactly the parameters, by position: nothing to bind.
        if (nargs == m.n_params && kwnames == nullptr && m.positional_fast) {
            if (!m.has_type_tests || type_tests_pass(m, args)) {
                result = run_body(m, here, args);
            }
        } else {
            result = bind_and_run(m, here, args, nargs, kwnames);
        }
    });
    if (!returned) {
        here.add_traceback();
    }
    if (here.entry != nullptr) {
        here.drop_entry();
    }
    Py_DECREF(self);
    return result;
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    FunctionObject* f = as_function(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->globals);
    Py_VISIT(f->code);
    Py_VISIT(f->defaults);
    Py_VISIT(f->kwdefaults);
    Py_VISIT(f->annotations);
    Py_VISIT(f->dict);
    Py_VISIT(f->class_cell);
    return 0;
}

int function_clear(PyObject* self) {
    FunctionObject* f = as_function(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->code);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->kwdefaults);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->dict);
    Py_CLEAR(f->class_cell);
    return 0;
}

void function_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (as_function(self)->weakreflist != nullptr) {
        PyObject_ClearWeakRefs(self);
    }
    function_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject* /*type*/) {
    if (obj == nullptr || obj == Py_None) {
        Py_INCREF(self);
        return self;
    }
    return PyMethod_New(self, obj);
}

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

// Pickled by reference, like a Python function: module and qualified name.
PyObject* function_reduce(PyObject* self, PyObject* /*unused*/) {
    Py_INCREF(as_function(self)->qualname);
    return as_function(self)->qualname;
}

// Setters follow the rules and messages of Python functions.
int set_checked(PyObject** slot, PyObject* value, bool ok, const char* message) {
    if (!ok) {
        PyErr_SetString(PyExc_TypeError, message);
        return -1;
    }
    Py_XINCREF(value);
    Py_XSETREF(*slot, value);
    return 0;
}

PyObject* get_slot(PyObject* value) {
    PyObject* result = value != nullptr ? value : Py_None;
    Py_INCREF(result);
    return result;
}

PyObject* get_name(PyObject* self, void*) { return get_slot(as_function(self)->name); }
int set_name(PyObject* self, PyObject* value, void*) {
    return set_checked(&as_function(self)->name, value, value != nullptr && PyUnicode_Check(value),
                       "__name__ must be set to a string object");
}
PyObject* get_qualname(PyObject* self, void*) { return get_slot(as_function(self)->qualname); }
int set_qualname(PyObject* self, PyObject* value, void*) {
    return set_checked(&as_function(self)->qualname, value,
                       value != nullptr && PyUnicode_Check(value),
                       "__qualname__ must be set to a string object");
}
PyObject* get_doc(PyObject* self, void*) { return get_slot(as_function(self)->doc); }
int set_doc(PyObject* self, PyObject* value, void*) {
    return set_checked(&as_function(self)->doc, value != nullptr ? value : Py_None, true, "");
}
PyObject* get_defaults(PyObject* self, void*) { return get_slot(as_function(self)->defaults); }
int set_defaults(PyObject* self, PyObject* value, void*) {
    if (value == Py_None) {
        value = nullptr;
    }
    return set_checked(&as_function(self)->defaults, value,
                       value == nullptr || PyTuple_Check(value),
                       "__defaults__ must be set to a tuple object");
}
PyObject* get_kwdefaults(PyObject* self, void*) { return get_slot(as_function(self)->kwdefaults); }
int set_kwdefaults(PyObject* self, PyObject* value, void*) {
    if (value == Py_None) {
        value = nullptr;
    }
    return set_checked(&as_function(self)->kwdefaults, value,
                       value == nullptr || PyDict_Check(value),
                       "__kwdefaults__ must be set to a dict object");
}
PyObject* get_annotations(PyObject* self, void*) {
    FunctionObject* f = as_function(self);
    if (f->annotations == nullptr) {
        f->annotations = PyDict_New();
        if (f->annotations == nullptr) {
            return nullptr;
        }
    }
    return get_slot(f->annotations);
}
int set_annotations(PyObject* self, PyObject* value, void*) {
    if (value == Py_None) {
        value = nullptr;
    }
    return set_checked(&as_function(self)->annotations, value,
                       value == nullptr || PyDict_Check(value),
                       "__annotations__ must be set to a dict object");
}
PyObject* get_code(PyObject* self, void*) { return get_slot(as_function(self)->code); }
int set_code(PyObject* self, PyObject* value, void*) {
    return set_checked(&as_function(self)->code, value, value != nullptr && PyCode_Check(value),
                       "__code__ must be set to a code object");
}
PyObject* get_globals(PyObject* self, void*) { return get_slot(as_function(self)->globals); }
PyObject* get_closure(PyObject*, void*) { Py_RETURN_NONE; }
PyObject* get_builtins(PyObject*, void*) {
    PyObject* builtins = process().builtins_dict;
    Py_INCREF(builtins);
    return builtins;
}

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, set_kwdefaults, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__code__", get_code, set_code, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__closure__", get_closure, nullptr, nullptr, nullptr},
    {"__builtins__", get_builtins, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__module__", T_OBJECT, offsetof(FunctionObject, module), 0, nullptr},
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(FunctionObject, vectorcall), READONLY, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(FunctionObject, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(FunctionObject, weakreflist), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_getset, function_getset},
    {Py_tp_members, function_members},
    {Py_tp_methods, function_methods},
    {0, nullptr},
};

PyType_Spec function_spec = {
    "cantorel.manage.native_function",
    sizeof(FunctionObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_METHOD_DESCRIPTOR |
        Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    function_slots,
};

}  // namespace

PyTypeObject* create_function_type(PyObject* module) {
    return reinterpret_cast<PyTypeObject*>(
        own(PyType_FromModuleAndSpec(module, &function_spec, nullptr)).release());
}

Owned new_function(MethodRuntime& method) {
    Process& p = process();
    Owned annotations = own(PyDict_New());
    auto annotate = [&](const char* name, const char* text) {
        Owned value = own(PyUnicode_FromString(text));
        require(PyDict_SetItemString(annotations.get(), name, value.get()));
    };
    for (const Param& param : method.spec.params) {
        if (param.annotation != nullptr) {
            annotate(param.name, param.annotation);
        }
    }
    if (method.spec.return_annotation != nullptr) {
        annotate("return", method.spec.return_annotation);
    }
    auto* f = PyObject_GC_New(FunctionObject, p.function_type);
    if (f == nullptr) {
        raise_error();
    }
    f->vectorcall = function_vectorcall;
    f->method = &method;
    f->name = Owned::ref(method.name).release();
    f->qualname = Owned::ref(method.qualname).release();
    f->module = Owned::ref(process().module_name).release();
    f->doc = Owned::ref(Py_None).release();
    f->globals = Owned::ref(p.module_dict).release();
    f->code = Owned::ref(method.code).release();
    f->defaults = Owned::ref(method.fixed_defaults).release();
    f->kwdefaults = nullptr;
    f->annotations = annotations.release();
    f->dict = nullptr;
    f->class_cell = nullptr;
    f->weakreflist = nullptr;
    PyObject_GC_Track(f);
    return Owned::steal(reinterpret_cast<PyObject*>(f));
}

void set_class_cell(PyObject* function, PyObject* cls) {
    Py_INCREF(cls);
    Py_XSETREF(as_function(function)->class_cell, cls);
}

}  // namespace rt
