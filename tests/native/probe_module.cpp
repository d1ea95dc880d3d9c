// `_cantorel_probe`: the module's six classes, made from the very method rows
// of the class units, with every body replaced by a recorder. Binding, type
// tests, descriptors, static methods, the class cell and traceback entries
// are the module's own code; only what runs after binding differs, so the
// tests can check binding for every method without depending on any body.
//
// The recorder stores the bound values (the parameters in order, then
// `args` and `kwargs` for a method that collects them) as the module
// attribute `bound`, then, at the first line after the def, raises
// `fail(qualname)` when the module attribute `fail` is set (a fresh
// exception each call), or returns None.
//
// The probe also holds the class `Handlers` (handler_bodies.cpp): bodies
// written with the runtime's handlers, compared with Python twins.
//
// Built by the tests (tests/conftest.py) from the sources of the runtime and
// the class units; never part of the installed package.
#include <Python.h>

#include <vector>

#include "module_classes.hpp"
#include "runtime/body.hpp"
#include "runtime/error.hpp"
#include "runtime/function.hpp"
#include "runtime/process.hpp"

namespace probe {
extern const rt::ClassSpec Handlers_class;
PyObject* module_step(PyObject*, PyObject* kind);
}

namespace {

// The probe's classes show the module's names.
const rt::Constant module_name{"cantorel.manage"}, source_file{"cantorel/manage"};
const rt::Constant bound_name{"bound"};
const rt::Constant fail_name{"fail"};

rt::Owned record_values(rt::Here& here, PyObject* const* arg) {
    auto* f = reinterpret_cast<rt::FunctionObject*>(here.function);
    const rt::MethodRuntime& m = *f->method;
    const Py_ssize_t n = m.n_params + (m.spec.collects_extra ? 2 : 0);
    LET(values, rt::Owned::steal(PyTuple_New(n)));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyTuple_SET_ITEM(values.get(), i, rt::Owned::ref(arg[i]).release());
    }
    CHECK(rt::status(PyDict_SetItem(here.globals, bound_name.get(), values.get())));
    LINE(m.spec.first_line + 1);
    PyObject* fail = PyDict_GetItemWithError(here.globals, fail_name.get());
    if (fail == nullptr && PyErr_Occurred()) {
        return rt::failure;
    }
    if (fail != nullptr && fail != Py_None) {
        LET(error, rt::call(fail, m.qualname));
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
        return rt::failure;
    }
    return rt::Owned::ref(Py_None);
}

PyObject* record(rt::Here& here, PyObject* const* arg) {
    return record_values(here, arg).release();
}

const rt::ClassSpec* const kClasses[] = {
    &manage::VoiceVD_class,     &manage::RecVoice_class, &manage::RecVoice_T_class,
    &manage::AudioPlayer_class, &manage::Input_class,    &manage::Output_class,
};

// A broken extension's function: fails without setting an exception.
PyObject* null_without_exception(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) {
    return nullptr;
}

// A broken extension's function: returns a value with an exception set.
PyObject* value_with_exception(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) {
    PyErr_SetString(PyExc_ValueError, "left pending by the callee");
    return Py_NewRef(Py_None);
}

PyMethodDef probe_functions[] = {
    {"null_without_exception", reinterpret_cast<PyCFunction>(
                                   reinterpret_cast<void (*)()>(null_without_exception)),
     METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"value_with_exception", reinterpret_cast<PyCFunction>(
                                 reinterpret_cast<void (*)()>(value_with_exception)),
     METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"module_step", probe::module_step, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef probe_def = {
    PyModuleDef_HEAD_INIT, "_cantorel_probe", nullptr, -1, probe_functions, nullptr, nullptr,
    nullptr, nullptr,
};

void fill(PyObject* module) {
    rt::create_process_data();
    rt::Process& p = rt::process();
    p.module_name = module_name.get();
    p.source_file = source_file.get();
    rt::Owned builtins = rt::own(PyImport_ImportModule("builtins"));
    rt::require(PyObject_SetAttrString(module, "__builtins__", builtins.get()));
    p.module = module;
    p.module_dict = rt::require(PyModule_GetDict(module));
    p.builtins_dict = rt::require(PyModule_GetDict(builtins.get()));
    rt::find_builtins();
    p.function_type = rt::create_function_type(module);
    // Which of the interpreter's fields the runtime reads directly (see
    // compat.hpp): all three on the interpreter it is built for.
    const compat::DirectReads reads = compat::direct_reads();
    auto state = [](int used) { return used < 0 ? Py_None : used ? Py_True : Py_False; };
    rt::Owned layout = rt::own(Py_BuildValue("(OOO)", state(reads.finalizing),
                                             state(reads.tstate), state(reads.recursion_limit)));
    rt::require(PyDict_SetItemString(p.module_dict, "layout", layout.get()));
    rt::require(PyDict_SetItemString(p.module_dict, "fail", Py_None));
    rt::require(PyDict_SetItemString(p.module_dict, "bound", Py_None));

    auto* site = new rt::TracebackSite(rt::own(PyUnicode_FromString("init _cantorel_probe")).release());
    rt::Here here{*site, 1, p.module_dict, nullptr};
    for (const rt::ClassSpec* original : kClasses) {
        // Never freed: the method runtimes refer to the rows for the life of
        // the process.
        auto* spec = new rt::ClassSpec(*original);
        std::vector<rt::MethodRuntime*> methods;
        for (rt::MethodSpec& method : spec->methods) {
            method.body = record;
            methods.push_back(rt::build_method_runtime(method));
        }
        rt::create_class(here, *spec, methods.data());
    }
    std::vector<rt::MethodRuntime*> handlers;
    for (const rt::MethodSpec& method : probe::Handlers_class.methods) {
        handlers.push_back(rt::build_method_runtime(method));
    }
    rt::create_class(here, probe::Handlers_class, handlers.data());
}

}  // namespace

PyMODINIT_FUNC PyInit__cantorel_probe(void) {
    PyObject* module = PyModule_Create(&probe_def);
    if (module == nullptr) {
        return nullptr;
    }
    try {
        fill(module);
    } catch (rt::PyErrorSet&) {
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}
