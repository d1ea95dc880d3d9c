#include "runtime/signature.hpp"

#include "runtime/error.hpp"
#include "runtime/process.hpp"

namespace rt {
namespace {

// Says what subclasses of the tested built-in types get, and how to change it.
constexpr const char kSubclassNote[] =
    "Subclasses of built-in types are rejected by this build; rebuild with the CMake "
    "option CANTOREL_ALLOW_SUBCLASSES=ON to accept them";

PyObject* default_value(const Default& d) {
    switch (d.kind) {
        case Default::Kind::none_given:
            break;
        case Default::Kind::integer:
            return own(PyLong_FromLong(d.integer)).release();
        case Default::Kind::none:
            return Owned::ref(Py_None).release();
        case Default::Kind::text:
            return own(PyUnicode_InternFromString(d.text)).release();
    }
    return nullptr;
}

PyObject* make_code(const MethodSpec& spec, PyObject* name) {
    Process& p = process();
    const Py_ssize_t n_vars =
        static_cast<Py_ssize_t>(spec.params.size() + spec.local_names.size()) +
                              (spec.collects_extra ? 2 : 0);
    Owned varnames = own(PyTuple_New(n_vars));
    Py_ssize_t i = 0;
    auto put = [&](const char* text) {
        PyTuple_SET_ITEM(varnames.get(), i++, own(PyUnicode_InternFromString(text)).release());
    };
    for (const Param& param : spec.params) {
        put(param.name);
    }
    int flags = CO_OPTIMIZED | CO_NEWLOCALS;
    if (spec.collects_extra) {
        put("args");
        put("kwargs");
        flags |= CO_VARARGS | CO_VARKEYWORDS;
    }
    if (!spec.needs_class) {
        flags |= CO_NOFREE;
    }
    for (const char* local : spec.local_names) {
        put(local);
    }
    return own(compat::new_signature_code(static_cast<int>(spec.params.size()), flags,
                                          varnames.get(), p.source_file, name,
                                          spec.first_line, p.empty_bytes, p.empty_tuple))
        .release();
}

void count_error(const MethodRuntime& m, bool too_many, Py_ssize_t given) {
    const char* how;
    Py_ssize_t stated;
    if (m.spec.collects_extra) {
        how = "at least";
        stated = m.n_required;
    } else if (m.n_required == m.n_params) {
        how = "exactly";
        stated = m.n_params;
    } else if (too_many) {
        how = "at most";
        stated = m.n_params;
    } else {
        how = "at least";
        stated = m.n_required;
    }
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 m.spec.name, how, stated, stated == 1 ? "" : "s", given);
}

// Index of the parameter named `key` from `first` on, matched by identity
// first and then by string content, or -1.
Py_ssize_t find_param(const MethodRuntime& m, PyObject* key, Py_ssize_t first, Py_ssize_t end) {
    for (Py_ssize_t j = first; j < end; ++j) {
        if (m.param_names[j] == key) {
            return j;
        }
    }
    for (Py_ssize_t j = first; j < end; ++j) {
        // Content comparison: a str subclass's own __eq__ is not consulted.
        if (PyUnicode_Compare(m.param_names[j], key) == 0) {
            return j;
        }
    }
    return -1;
}

PyTypeObject* exact_type(Exact t) {
    switch (t) {
        case Exact::bytes:
            return &PyBytes_Type;
        case Exact::int_:
            return &PyLong_Type;
        case Exact::str:
            return &PyUnicode_Type;
        case Exact::any:
            break;
    }
    return nullptr;
}

}  // namespace

bool type_tests_pass(const MethodRuntime& m, PyObject* const* values) {
    for (Py_ssize_t j = 0; j < m.n_params; ++j) {
        const Param& param = m.spec.params[j];
        PyTypeObject* expected = exact_type(param.type);
        PyObject* value = values[j];
        if (expected == nullptr || Py_TYPE(value) == expected ||
            (param.none_ok && value == Py_None)) {
            continue;
        }
        const bool subclass = PyType_IsSubtype(Py_TYPE(value), expected);
#ifdef CANTOREL_ALLOW_SUBCLASSES
        if (subclass) {
            continue;
        }
#endif
        Owned note = subclass ? Owned::steal(PyUnicode_FromString(kSubclassNote))
                              : Owned::ref(process().empty_str);
        if (!note) {
            return false;
        }
        PyErr_Format(PyExc_TypeError,
                     "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)%s%U",
                     param.name, expected->tp_name, Py_TYPE(value)->tp_name,
                     subclass ? ". " : "", note.get());
        return false;
    }
    return true;
}

MethodRuntime* build_method_runtime(const MethodSpec& spec) {
    Owned traceback_name = own(PyUnicode_FromFormat("%U.%s.%s", process().module_name,
                                                    spec.class_name, spec.name));
    auto* m = new MethodRuntime(spec, traceback_name.release());
    m->name = own(PyUnicode_InternFromString(spec.name)).release();
    m->qualname = own(PyUnicode_FromFormat("%s.%s", spec.class_name, spec.name)).release();
    m->n_params = static_cast<Py_ssize_t>(spec.params.size());
    m->n_required = 0;
    while (m->n_required < m->n_params && !spec.params[m->n_required].has_default()) {
        ++m->n_required;
    }
    for (Py_ssize_t j = 0; j < m->n_params; ++j) {
        const Param& param = spec.params[j];
        m->param_names[j] = own(PyUnicode_InternFromString(param.name)).release();
        m->has_type_tests = m->has_type_tests || param.type != Exact::any;
        if ((j >= m->n_required) != param.has_default()) {
            PyErr_Format(PyExc_SystemError, "%s.%s: a parameter without a default follows one with",
                         spec.class_name, spec.name);
            raise_error();
        }
    }
    if (m->n_required < m->n_params) {
        Owned defaults = own(PyTuple_New(m->n_params - m->n_required));
        for (Py_ssize_t j = m->n_required; j < m->n_params; ++j) {
            PyTuple_SET_ITEM(defaults.get(), j - m->n_required,
                             default_value(spec.params[j].default_value));
        }
        m->fixed_defaults = defaults.release();
    }
    m->code = make_code(spec, m->name);
    m->positional_fast = !spec.collects_extra;
    return m;
}

BindResult bind_arguments(const MethodRuntime& m, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames, Bound& out) {
    const Py_ssize_t n_params = m.n_params;
    const bool collects = m.spec.collects_extra;
    if (nargs > n_params && !collects) {
        count_error(m, true, nargs);
        return BindResult::binding_failed;
    }
    const Py_ssize_t n_positional = nargs < n_params ? nargs : n_params;
    for (Py_ssize_t j = 0; j < n_positional; ++j) {
        out.value[j] = args[j];
        out.source[j] = static_cast<int8_t>(j);
    }
    if (collects) {
        out.extra_args = Owned::steal(PyTuple_New(nargs - n_positional));
        out.extra_kwargs = Owned::steal(PyDict_New());
        if (!out.extra_args || !out.extra_kwargs) {
            return BindResult::binding_failed;
        }
        for (Py_ssize_t j = n_positional; j < nargs; ++j) {
            PyTuple_SET_ITEM(out.extra_args.get(), j - n_positional, Owned::ref(args[j]).release());
        }
        out.value[n_params] = out.extra_args.get();
        out.value[n_params + 1] = out.extra_kwargs.get();
    }

    const Py_ssize_t n_keywords = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < n_keywords; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        PyObject* value = args[nargs + k];
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", m.spec.name);
            return BindResult::binding_failed;
        }
        Py_ssize_t j = find_param(m, key, n_positional, n_params);
        if (j >= 0 && out.value[j] == nullptr) {
            out.value[j] = value;
            out.source[j] = static_cast<int8_t>(nargs + k);
            continue;
        }
        if (j >= 0 || find_param(m, key, 0, n_positional) >= 0) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                         m.spec.name, key);
            return BindResult::binding_failed;
        }
        if (collects) {
            if (PyDict_SetItem(out.extra_kwargs.get(), key, value) < 0) {
                return BindResult::binding_failed;
            }
            continue;
        }
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", m.spec.name,
                     key);
        return BindResult::binding_failed;
    }

    for (Py_ssize_t j = 0; j < m.n_required; ++j) {
        if (out.value[j] == nullptr) {
            count_error(m, false, j);
            return BindResult::binding_failed;
        }
    }
    for (Py_ssize_t j = m.n_required; j < n_params; ++j) {
        if (out.value[j] == nullptr) {
            out.value[j] = PyTuple_GET_ITEM(m.fixed_defaults, j - m.n_required);
            out.source[j] = -1;
        }
    }
    if (m.has_type_tests && !type_tests_pass(m, out.value)) {
        return BindResult::type_test_failed;
    }
    return BindResult::ok;
}

void remember(MethodRuntime& m, Py_ssize_t nargs, PyObject* kwnames, const Bound& bound) {
    KeywordShape& shape = m.keyword_shape;
    Py_INCREF(kwnames);
    PyObject* old = shape.kwnames;  // a tuple of str: dropping it runs no Python code
    shape.kwnames = kwnames;
    shape.nargs = nargs;
    for (Py_ssize_t j = 0; j < m.n_params; ++j) {
        shape.source[j] = bound.source[j];
    }
    Py_XDECREF(old);
}

}  // namespace rt
