// The static description of a method (what its `def` line says) and the
// binding of call arguments to it.
//
// A class unit declares each method once, as a row:
//
//     rt::method<VoiceVD___call__>("__call__", 27,
//         {self_param, rt::param("pcm_bytes").exactly(rt::Exact::bytes).annotated("bytes")})
//         .returns("float")
//         .locals({"wav", "x", "prob"})
//
// Everything else (defaults, annotations, the code object, the binder's
// limits) is derived from the row. The body is adapted from the bound
// argument array to its own parameters at compile time: a body whose
// parameter count differs from the row's does not compile.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <utility>
#include <vector>

#include "runtime/ref.hpp"
#include "runtime/traceback.hpp"

namespace rt {

// Built-in types that a parameter may be tested for, by exact type.
enum class Exact { any, bytes, int_, str };

struct Default {
    enum class Kind { none_given, integer, none, text } kind = Kind::none_given;
    long integer = 0;
    const char* text = nullptr;
};

struct Param {
    const char* name;
    Exact type = Exact::any;
    bool none_ok = false;
    const char* annotation = nullptr;  // stored as a string, never evaluated
    Default default_value;

    constexpr Param exactly(Exact t) const {
        Param p = *this;
        p.type = t;
        return p;
    }
    constexpr Param or_none() const {
        Param p = *this;
        p.none_ok = true;
        return p;
    }
    constexpr Param annotated(const char* text) const {
        Param p = *this;
        p.annotation = text;
        return p;
    }
    constexpr Param defaults_to(long value) const {
        Param p = *this;
        p.default_value = Default{Default::Kind::integer, value, nullptr};
        return p;
    }
    constexpr Param defaults_to(const char* text) const {
        Param p = *this;
        p.default_value = Default{Default::Kind::text, 0, text};
        return p;
    }
    constexpr Param defaults_to_none() const {
        Param p = *this;
        p.default_value = Default{Default::Kind::none, 0, nullptr};
        return p;
    }
    constexpr bool has_default() const { return default_value.kind != Default::Kind::none_given; }
};

constexpr Param param(const char* name) { return Param{name, Exact::any, false, nullptr, Default{}}; }
constexpr Param self_param = param("self");

// The most parameters a method has, and so what the binder holds.
constexpr int kMaxParams = 4;

// The body as the entry point calls it: the bound values in parameter
// order, then `args` and `kwargs` for a method that collects extra
// arguments.
// A new reference, or null with the exception set: the body's Owned,
// released by the adapter, so that it comes back in a register.
using Body = PyObject* (*)(Here& here, PyObject* const* arg);

struct MethodSpec {
    const char* class_name = nullptr;  // filled in by the class row
    const char* name;
    int first_line;
    std::vector<Param> params;
    const char* return_annotation = nullptr;
    std::vector<const char*> local_names;  // local variable names, after the parameters
    Body body;
    bool is_static = false;
    bool collects_extra = false;  // (self, *args, **kwargs)
    bool needs_class = false;     // uses the zero-argument form of super()

    MethodSpec&& returns(const char* annotation) && {
        return_annotation = annotation;
        return std::move(*this);
    }
    MethodSpec&& locals(std::initializer_list<const char*> names) && {
        local_names = names;
        return std::move(*this);
    }
    MethodSpec&& static_method() && {
        is_static = true;
        return std::move(*this);
    }
    MethodSpec&& uses_super() && {
        needs_class = true;
        return std::move(*this);
    }
};

namespace detail {

template <typename F>
struct BodyArity;
template <typename... P>
struct BodyArity<Owned (*)(Here&, P...)> {
    static constexpr std::size_t value = sizeof...(P);
};

template <auto Impl, std::size_t... I>
Owned invoke(Here& here, PyObject* const* arg, std::index_sequence<I...>) {
    return Impl(here, arg[I]...);
}

template <auto Impl>
PyObject* adapt(Here& here, PyObject* const* arg) {
    return invoke<Impl>(here, arg, std::make_index_sequence<BodyArity<decltype(Impl)>::value>())
        .release();
}

}  // namespace detail

// A method with a fixed parameter list.
template <auto Impl, std::size_t N>
MethodSpec method(const char* name, int first_line, const Param (&params)[N]) {
    static_assert(N <= kMaxParams, "more parameters than the binder holds");
    static_assert(detail::BodyArity<decltype(Impl)>::value == N,
                  "the body's parameters differ from the row's");
    return MethodSpec{nullptr, name, first_line, std::vector<Param>(params, params + N), nullptr,
                      {}, &detail::adapt<Impl>};
}

// A method without parameters (a static method that takes nothing).
template <auto Impl>
MethodSpec method(const char* name, int first_line) {
    static_assert(detail::BodyArity<decltype(Impl)>::value == 0,
                  "the body's parameters differ from the row's");
    return MethodSpec{nullptr, name, first_line, {}, nullptr, {}, &detail::adapt<Impl>};
}

// A method `(self, *args, **kwargs)`: its body receives self, args, kwargs.
template <auto Impl>
MethodSpec method_collecting(const char* name, int first_line) {
    static_assert(detail::BodyArity<decltype(Impl)>::value == 3,
                  "the body takes self, args and kwargs");
    MethodSpec spec{nullptr, name, first_line, {self_param}, nullptr, {}, &detail::adapt<Impl>};
    spec.collects_extra = true;
    return spec;
}

// The last keyword call shape that bound successfully: a call site passes
// the same kwnames tuple (a constant of its code) every time, so the next
// call from it binds by table. Holds the tuple, so that its address cannot
// come back as another one; tuples and str are immutable, so the table
// stays right for as long as the tuple is that one.
struct KeywordShape {
    PyObject* kwnames = nullptr;  // owned
    Py_ssize_t nargs = -1;
    int8_t source[kMaxParams] = {};  // per parameter: its index in the call's args, or -1: default
};

// What the exec step builds for a method, once per process.
struct MethodRuntime {
    MethodRuntime(const MethodSpec& spec, PyObject* traceback_name)
        : spec(spec), body(spec.body), first_line(spec.first_line), site(traceback_name) {}
    const MethodSpec& spec;
    Body body;           // spec.body, one load nearer
    int first_line;      // spec.first_line
    bool positional_fast = false;  // exactly n_params positional arguments need no binding
    TracebackSite site;
    PyObject* name = nullptr;      // interned
    PyObject* qualname = nullptr;  // "Class.method"
    PyObject* param_names[kMaxParams] = {};
    PyObject* fixed_defaults = nullptr;  // the defaults binding applies; tuple or null
    PyObject* code = nullptr;            // for introspection
    Py_ssize_t n_params = 0;
    Py_ssize_t n_required = 0;
    bool has_type_tests = false;
    KeywordShape keyword_shape;  // calls with keywords, for methods without *args/**kwargs
};

// Builds the process-wide data of a method; throws PyErrorSet (import time).
MethodRuntime* build_method_runtime(const MethodSpec& spec);

// The bound arguments of one call.
struct Bound {
    PyObject* value[kMaxParams + 2] = {};  // borrowed (from the call or the defaults)
    int8_t source[kMaxParams];             // where each came from, as in KeywordShape
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

// The type tests alone, for a call whose arguments were all positional.
bool type_tests_pass(const MethodRuntime& m, PyObject* const* value);

// Binds a keyword call by the remembered shape when it is that shape's
// (same kwnames tuple, same number of positional arguments): fills
// `values` (n_params of them) and returns true; otherwise false. The type
// tests are still to be applied.
inline bool bind_remembered(const MethodRuntime& m, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames, PyObject** values) {
    const KeywordShape& shape = m.keyword_shape;
    if (kwnames != shape.kwnames || nargs != shape.nargs) {
        return false;
    }
    for (Py_ssize_t j = 0; j < m.n_params; ++j) {
        values[j] = shape.source[j] >= 0 ? args[shape.source[j]]
                                         : PyTuple_GET_ITEM(m.fixed_defaults, j - m.n_required);
    }
    return true;
}

// Remembers the shape of a keyword call that bound successfully.
void remember(MethodRuntime& m, Py_ssize_t nargs, PyObject* kwnames, const Bound& bound);

}  // namespace rt
