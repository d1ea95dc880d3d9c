// The module `cantorel.manage`: its create and exec steps. The exec step is
// the module body, statement by statement, with the source line of each.
#include <Python.h>

#include <cctype>
#include <functional>
#include <new>
#include <vector>

#include "exit_guard.hpp"
#include "module_classes.hpp"
#include "numpy_fast_paths.hpp"
#include "runtime/compat.hpp"
#include "runtime/constants.hpp"
#include "runtime/error.hpp"
#include "runtime/function.hpp"
#include "runtime/process.hpp"
#include "runtime/traceback.hpp"

namespace {

using rt::Constant;
using rt::Owned;
using rt::own;
using rt::require;

// The module's name as the runtime shows it, and the entry of its body in
// tracebacks.
constexpr const char* kInitEntry = "init cantorel.manage";
const Constant module_qualified_name{"cantorel.manage"}, source_file{"cantorel/manage"},
    init_entry{kInitEntry};

// The names the module body imports and binds.
const Constant queue_name{"queue"}, simpleaudio_name{"simpleaudio"}, sa_name{"sa"},
    typing_name{"typing"}, Optional_name{"Optional"}, Generator_name{"Generator"},
    List_name{"List"}, Tuple_name{"Tuple"}, time_name{"time"}, threading_name{"threading"},
    numpy_name{"numpy"}, np_name{"np"}, collections_name{"collections"}, deque_name{"deque"},
    os_name{"os"}, pyaudio_name{"pyaudio"}, onnxruntime_name{"onnxruntime"}, ort_name{"ort"},
    dunder_test{"__test__"};

// Process-wide, deliberately never freed. The module object is held from
// the exec step on and dropped again only if that step fails.
PyObject* the_module = nullptr;
int64_t first_interpreter = -1;
int running_major = -1;
int running_minor = -1;
rt::TracebackSite* module_site = nullptr;
std::vector<rt::MethodRuntime*>* method_runtimes = nullptr;

const rt::ClassSpec* const module_classes[] = {
    &manage::VoiceVD_class,     &manage::RecVoice_class, &manage::RecVoice_T_class,
    &manage::AudioPlayer_class, &manage::Input_class,    &manage::Output_class,
};

// ---------------------------------------------------------------- create

// Copies an attribute of the ModuleSpec into the namespace; one that the
// ModuleSpec lacks is skipped.
void copy_spec_attribute(PyObject* spec, const char* attribute, PyObject* dict, const char* key,
                         bool skip_none) {
    PyObject* found = nullptr;
    Owned attribute_name = own(PyUnicode_FromString(attribute));
    require(compat::lookup_optional_attr(spec, attribute_name.get(), &found));
    Owned value = Owned::steal(found);
    if (!value || (skip_none && value.get() == Py_None)) {
        return;
    }
    require(PyDict_SetItemString(dict, key, value.get()));
}

PyObject* manage_create(PyObject* spec, PyModuleDef* /*def*/) {
    const int64_t interpreter = compat::interpreter_id();
    if (interpreter == -1) {
        return nullptr;
    }
    if (first_interpreter == -1) {
        first_interpreter = interpreter;
    } else if (first_interpreter != interpreter) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return nullptr;
    }
    if (the_module != nullptr) {
        Py_INCREF(the_module);
        return the_module;
    }
    PyObject* created = nullptr;
    rt::entry_point(kInitEntry, [&] {
        Owned module_name = own(PyObject_GetAttrString(spec, "name"));
        Owned module = own(PyModule_NewObject(module_name.get()));
        PyObject* dict = require(PyModule_GetDict(module.get()));
        copy_spec_attribute(spec, "loader", dict, "__loader__", false);
        copy_spec_attribute(spec, "origin", dict, "__file__", false);
        copy_spec_attribute(spec, "parent", dict, "__package__", false);
        copy_spec_attribute(spec, "submodule_search_locations", dict, "__path__", true);
        created = module.release();
    });
    return created;
}

// ------------------------------------------------------------------ exec

// Warns when the running interpreter is not the one the module was built
// for; the warning may be turned into an error by the warning filters.
void check_interpreter_version() {
    if (running_major < 0) {
        const char* v = compat::running_version();
        int major = 0;
        while (std::isdigit(static_cast<unsigned char>(*v))) {
            major = major * 10 + (*v++ - '0');
        }
        int minor = 0;
        if (*v == '.') {
            ++v;
            while (std::isdigit(static_cast<unsigned char>(*v))) {
                minor = minor * 10 + (*v++ - '0');
            }
        }
        running_major = major;
        running_minor = minor;
    }
    if (running_major != PY_MAJOR_VERSION || running_minor != PY_MINOR_VERSION) {
        require(PyErr_WarnFormat(
            PyExc_RuntimeWarning, 1,
            "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
            PY_MAJOR_VERSION, PY_MINOR_VERSION, "cantorel.manage", "does not match",
            running_major, running_minor));
    }
}

// The method runtimes of every class, in class and method order; built
// once per process.
void build_method_runtimes() {
    if (method_runtimes != nullptr) {
        return;
    }
    auto runtimes = std::vector<rt::MethodRuntime*>();
    for (const rt::ClassSpec* cls : module_classes) {
        for (const rt::MethodSpec& method : cls->methods) {
            runtimes.push_back(rt::build_method_runtime(method));
        }
    }
    method_runtimes = new std::vector<rt::MethodRuntime*>(std::move(runtimes));
}

void bind_global(const Constant& name, PyObject* value) {
    require(PyDict_SetItem(rt::process().module_dict, name.get(), value));
}

// `import <module>` or `import <module> as <target>`.
void import_module(const Constant& module_name, const Constant& target) {
    Owned module = own(PyImport_ImportModuleLevelObject(
        module_name.get(), rt::process().module_dict, nullptr, nullptr, 0));
    bind_global(target, module.get());
}

// `from <module> import <names...>`.
void import_from(const Constant& module_name,
                 std::initializer_list<std::reference_wrapper<const Constant>> names) {
    Owned fromlist = own(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
    Py_ssize_t i = 0;
    for (const Constant& n : names) {
        PyTuple_SET_ITEM(fromlist.get(), i++, Owned::ref(n.get()).release());
    }
    Owned module = own(PyImport_ImportModuleLevelObject(
        module_name.get(), rt::process().module_dict, nullptr, fromlist.get(), 0));
    for (const Constant& n : names) {
        PyObject* value = PyObject_GetAttr(module.get(), n.get());
        if (value == nullptr) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
                rt::raise_error();
            }
            PyErr_Clear();
            // A submodule of that name that is already imported will do.
            Owned full_name = own(PyUnicode_FromFormat("%U.%U", module_name.get(), n.get()));
            value = PyImport_GetModule(full_name.get());
            if (value == nullptr) {
                if (!PyErr_Occurred()) {
                    PyErr_Format(PyExc_ImportError, "cannot import name %S", n.get());
                }
                rt::raise_error();
            }
        }
        Owned bound = Owned::steal(value);
        bind_global(n, bound.get());
    }
}

// Module body from the function type on; every failure gets the entry
// "init cantorel.manage" at the line of the failing statement.
void run_module_body(rt::Here& here, PyObject* module) {
    rt::Process& p = rt::process();

    LINE(1);
    Py_CLEAR(p.function_type);  // one from an earlier, failed import
    p.function_type = rt::create_function_type(module);

    PyObject* modules = require(PyImport_GetModuleDict());
    PyObject* own_name = module_qualified_name.get();
    if (PyDict_GetItemWithError(modules, own_name) == nullptr) {
        if (PyErr_Occurred()) {
            rt::raise_error();
        }
        require(PyDict_SetItem(modules, own_name, module));
    }

    rt::find_builtins();

    build_method_runtimes();

    LINE(1);
    import_module(queue_name, queue_name);
    LINE(2);
    import_module(simpleaudio_name, sa_name);
    LINE(3);
    import_from(typing_name, {Optional_name, Generator_name, List_name, Tuple_name});
    LINE(4);
    import_module(time_name, time_name);
    LINE(5);
    import_module(threading_name, threading_name);
    LINE(6);
    import_module(numpy_name, np_name);
    LINE(7);
    import_from(collections_name, {deque_name});
    manage::numpy_fast::imports_bound(require(PyDict_GetItemWithError(p.module_dict, np_name.get())),
                                      require(PyDict_GetItemWithError(p.module_dict, deque_name.get())));
    LINE(8);
    import_module(os_name, os_name);
    LINE(9);
    import_module(pyaudio_name, pyaudio_name);
    LINE(10);
    import_module(onnxruntime_name, ort_name);

    // Class statements, lines 13 to 197.
    rt::MethodRuntime* const* methods = method_runtimes->data();
    for (const rt::ClassSpec* cls : module_classes) {
        rt::create_class(here, *cls, methods);
        methods += cls->methods.size();
    }

    LINE(1);
    Owned test = own(PyDict_New());
    bind_global(dunder_test, test.get());
}

void run_exec(PyObject* module) {
    PyObject* dict = require(PyModule_GetDict(module));
    Owned builtins = own(PyImport_ImportModule("builtins"));
    require(PyObject_SetAttrString(module, "__builtins__", builtins.get()));

    check_interpreter_version();

    rt::create_process_data();
    rt::Process& p = rt::process();
    p.module_name = module_qualified_name.get();
    p.source_file = source_file.get();
    p.module = module;
    p.module_dict = dict;
    p.builtins_dict = require(PyModule_GetDict(builtins.get()));
    if (module_site == nullptr) {
        module_site = new rt::TracebackSite(Owned::ref(init_entry.get()).release());
    }

    rt::Here here{*module_site, 1, dict, nullptr};
    rt::run_module_step(kInitEntry, here, [&] {
        run_module_body(here, module);
        manage::exit_guard::install();
    });
}

int manage_exec(PyObject* module) {
    if (the_module != nullptr) {
        if (the_module == module) {
            return 0;
        }
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'manage' has already been imported. Re-initialisation is not "
                        "supported.");
        return -1;
    }
    Py_INCREF(module);
    the_module = module;
    if (rt::entry_point(kInitEntry, [&] { run_exec(module); })) {
        return 0;
    }
    // Forget the module: the import system drops it from sys.modules, and
    // the next import starts again from the create step.
    the_module = nullptr;
    if (rt::process_data_exists()) {
        rt::process().module = nullptr;
    }
    Py_DECREF(module);
    return -1;
}

PyModuleDef_Slot manage_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(manage_create)},
    {Py_mod_exec, reinterpret_cast<void*>(manage_exec)},
    {0, nullptr},
};

PyModuleDef manage_def = {
    PyModuleDef_HEAD_INIT,
    "manage",
    nullptr,  // no docstring
    0,        // all data is process-wide
    nullptr,  // no module-level functions
    manage_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_manage(void) { return PyModuleDef_Init(&manage_def); }
