#include "runtime/class_statement.hpp"

#include "runtime/compat.hpp"
#include "runtime/constants.hpp"
#include "runtime/error.hpp"
#include "runtime/function.hpp"
#include "runtime/globals.hpp"

namespace rt {
namespace {

const Constant dunder_module{"__module__"}, dunder_qualname{"__qualname__"},
    dunder_orig_bases{"__orig_bases__"}, dunder_mro_entries{"__mro_entries__"},
    dunder_prepare{"__prepare__"};

// Stores the methods in the namespace; returns those that need the class
// for their zero-argument super().
std::vector<Owned> add_methods(Here& here, PyObject* ns, const ClassSpec& spec,
                               MethodRuntime* const* methods) {
    std::vector<Owned> needing_class;
    for (size_t i = 0; i < spec.methods.size(); ++i) {
        const MethodSpec& method = spec.methods[i];
        LINE(method.first_line);
        Owned function = new_function(*methods[i]);
        if (method.needs_class) {
            needing_class.push_back(Owned::ref(function.get()));
        }
        if (method.is_static) {
            function = own(PyObject_CallOneArg(process().builtin_staticmethod, function.get()));
        }
        require(PyObject_SetItem(ns, methods[i]->name, function.get()));
    }
    return needing_class;
}

void set_class_names(PyObject* ns, PyObject* class_name) {
    require(PyObject_SetItem(ns, dunder_module.get(), process().module_name));
    require(PyObject_SetItem(ns, dunder_qualname.get(), class_name));
}

// Replaces bases that are not classes by what their __mro_entries__ returns.
Owned resolve_bases(PyObject* bases) {
    const Py_ssize_t n = PyTuple_GET_SIZE(bases);
    Owned resolved = own(PyList_New(0));
    bool changed = false;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* base = PyTuple_GET_ITEM(bases, i);
        if (PyType_Check(base)) {
            require(PyList_Append(resolved.get(), base));
            continue;
        }
        PyObject* entries_method = nullptr;
        require(compat::lookup_optional_attr(base, dunder_mro_entries.get(), &entries_method));
        Owned method = Owned::steal(entries_method);
        if (!method) {
            require(PyList_Append(resolved.get(), base));
            continue;
        }
        Owned entries = own(PyObject_CallOneArg(method.get(), bases));
        if (!PyTuple_Check(entries.get())) {
            raise(PyExc_TypeError, "__mro_entries__ must return a tuple");
        }
        changed = true;
        require(PyList_SetSlice(resolved.get(), PyList_GET_SIZE(resolved.get()),
                                PyList_GET_SIZE(resolved.get()), entries.get()));
    }
    if (!changed) {
        return Owned::ref(bases);
    }
    return own(PyList_AsTuple(resolved.get()));
}

PyObject* calculate_metaclass(PyObject* bases) {
    PyObject* winner = reinterpret_cast<PyObject*>(&PyType_Type);
    const Py_ssize_t n = PyTuple_GET_SIZE(bases);
    for (Py_ssize_t i = 0; i < n; ++i) {
        auto* candidate = reinterpret_cast<PyObject*>(Py_TYPE(PyTuple_GET_ITEM(bases, i)));
        if (i == 0) {
            winner = candidate;
            continue;
        }
        auto* w = reinterpret_cast<PyTypeObject*>(winner);
        auto* c = reinterpret_cast<PyTypeObject*>(candidate);
        if (PyType_IsSubtype(w, c)) {
            continue;
        }
        if (PyType_IsSubtype(c, w)) {
            winner = candidate;
            continue;
        }
        raise(PyExc_TypeError,
              "metaclass conflict: the metaclass of a derived class must be a (non-strict) "
              "subclass of the metaclasses of all its bases");
    }
    return winner;
}

void create_plain_class(Here& here, const ClassSpec& spec, MethodRuntime* const* methods) {
    Process& p = process();
    LINE(spec.line);
    Owned name_object = own(PyUnicode_InternFromString(spec.name));
    PyObject* class_name = name_object.get();
    Owned ns = own(PyDict_New());
    set_class_names(ns.get(), class_name);
    require(compat::class_body_begins(ns.get(), spec.line));
    add_methods(here, ns.get(), spec, methods);
    require(compat::class_body_ends(ns.get(), spec.self_attributes));
    LINE(spec.line);
    Owned cls = own(PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject*>(&PyType_Type),
                                                 class_name, p.empty_tuple, ns.get(), nullptr));
    require(PyDict_SetItem(p.module_dict, class_name, cls.get()));
}

void create_derived_class(Here& here, const ClassSpec& spec, MethodRuntime* const* methods) {
    Process& p = process();
    LINE(spec.line);
    Owned name_object = own(PyUnicode_InternFromString(spec.name));
    PyObject* class_name = name_object.get();
    Owned base = own(global(here.globals, *spec.base).release());
    Owned original_bases = own(PyTuple_Pack(1, base.get()));
    Owned bases = resolve_bases(original_bases.get());
    PyObject* metaclass = calculate_metaclass(bases.get());
    Owned keep_metaclass = Owned::ref(metaclass);

    PyObject* prepare_method = nullptr;
    require(compat::lookup_optional_attr(metaclass, dunder_prepare.get(), &prepare_method));
    Owned prepare = Owned::steal(prepare_method);
    Owned ns = prepare ? own(PyObject_CallFunctionObjArgs(prepare.get(), class_name, bases.get(),
                                                          nullptr))
                       : own(PyDict_New());
    set_class_names(ns.get(), class_name);
    require(compat::class_body_begins(ns.get(), spec.line));
    if (bases.get() != original_bases.get()) {
        require(PyObject_SetItem(ns.get(), dunder_orig_bases.get(), original_bases.get()));
    }
    std::vector<Owned> needing_class = add_methods(here, ns.get(), spec, methods);
    require(compat::class_body_ends(ns.get(), spec.self_attributes));
    LINE(spec.line);
    Owned cls = own(PyObject_CallFunctionObjArgs(metaclass, class_name, bases.get(), ns.get(),
                                                 nullptr));
    for (Owned& function : needing_class) {
        set_class_cell(function.get(), cls.get());
    }
    require(PyDict_SetItem(p.module_dict, class_name, cls.get()));
}

}  // namespace

void create_class(Here& here, const ClassSpec& spec, MethodRuntime* const* methods) {
    if (spec.base != nullptr) {
        create_derived_class(here, spec, methods);
    } else {
        create_plain_class(here, spec, methods);
    }
}

}  // namespace rt
