// The static description of a method (what its `def` line says) and the
// binding of call arguments to it.
#pragma once

#include <Python.h>

#include <vector>

#include "runtime/ref.hpp"
#include "runtime/traceback.hpp"

namespace rt {

// Built-in types that a parameter may be tested for, by exact type.
enum class Exact { any, bytes, int_, str };

struct Param {
    const char* name;
    Exact type = Exact::any;
    bool none_ok = false;
};

struct Default {
    enum class Kind { integer, none, text } kind;
    long integer = 0;
    const char* text = nullptr;
};
inline Default default_int(long v) { return Default{Default::Kind::integer, v, nullptr}; }
inline Default default_none() { return Default{Default::Kind::none, 0, nullptr}; }
inline Default default_text(const char* t) { return Default{Default::Kind::text, 0, t}; }

struct Annotation {
    const char* name;
    const char* text;  // stored as a string, never evaluated
};

// A method body: receives the bound parameter values (borrowed) in parameter
// order, followed by `args` and `kwargs` for a method that collects extra
// arguments, and the function object being called. Returns a new reference
// or throws PyErrorSet with `here.line` naming the failing statement.
using Body = PyObject* (*)(Here& here, PyObject* const* arg, PyObject* function);

constexpr int kMaxParams = 4;

struct MethodSpec {
    const char* class_name;
    const char* name;
    int first_line;
    std::vector<Param> params;
    std::vector<Default> defaults;  // for the last parameters
    std::vector<Annotation> annotations;
    std::vector<const char*> locals;  // local variable names, after the parameters
    Body body;
    bool is_static = false;
    bool collects_extra = false;  // (self, *args, **kwargs)
    bool needs_class = false;     // uses the zero-argument form of super()
};

// What the exec step builds for a method, once per process.
struct MethodRuntime {
    MethodRuntime(const MethodSpec& spec, PyObject* traceback_name)
        : spec(spec), site(traceback_name) {}
    const MethodSpec& spec;
    TracebackSite site;
    PyObject* name = nullptr;      // interned
    PyObject* qualname = nullptr;  // "Class.method"
    PyObject* param_names[kMaxParams] = {};
    PyObject* fixed_defaults = nullptr;  // the defaults binding applies; tuple or null
    PyObject* code = nullptr;            // for introspection
    Py_ssize_t n_params = 0;
    Py_ssize_t n_required = 0;
};

// Builds the process-wide data of a method; throws PyErrorSet.
MethodRuntime* build_method_runtime(const MethodSpec& spec);

// The bound arguments of one call.
struct Bound {
    PyObject* value[kMaxParams + 2] = {};  // borrowed (from the call or the defaults)
    Owned extra_args;                      // owns value[n_params] when collecting
    Owned extra_kwargs;                    // owns value[n_params + 1] when collecting
};

enum class BindResult { ok, binding_failed, type_test_failed };

// Binds a vectorcall's arguments as a Python function with the method's
// signature would, then applies the type tests. On failure a TypeError (or
// the error of a hostile keyword's hash) is set. Runs no Python code unless
// a keyword goes into `kwargs`.
BindResult bind_arguments(const MethodRuntime& m, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames, Bound& out);

}  // namespace rt
