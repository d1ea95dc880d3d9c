// Class creation of the runtime (rt::create_class for a class with a base),
// run inside an embedded interpreter against the class statement itself.
//
// Each case runs some Python set-up (it binds "RecVoice" to a base and may
// log what the protocol calls see) twice: in the module namespace, followed
// by rt::create_class, and in a fresh namespace, followed by the equivalent
// class statement run by the interpreter. The two outcomes must agree,
// except in the few cases where compiled code is known to differ from the
// interpreter, and the case's own expectation must hold. A failure must
// leave its traceback entry at the line of the statement.
//
// Usage: test_runtime [case...]; no argument runs every case. One line per
// case, then "N passed, M failed"; exit status 0 only when none failed.
#include <Python.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "runtime/body.hpp"
#include "runtime/class_statement.hpp"
#include "runtime/error.hpp"
#include "runtime/function.hpp"
#include "runtime/process.hpp"
#include "runtime/signature.hpp"

namespace {

constexpr int kClassLine = 40;

// The Python side: the class statement that create_class stands for, what
// is observed of its outcome, and the comparison.
const char* const kHarness = R"PY(
import sys
import traceback

CLASS_STATEMENT = '''
class RecVoice_T(RecVoice):
    def cell(self):
        return __class__
    def plain(self):
        return None
    @staticmethod
    def static():
        return None
'''

def describe(x):
    if isinstance(x, type):
        return x.__qualname__
    if isinstance(x, tuple):
        return tuple(describe(item) for item in x)
    return type(x).__qualname__ + '()'

def start(ns, setup):
    for key in [k for k in ns if not k.startswith('__')]:
        del ns[key]
    log = []
    class Recording(dict):
        # Logs the keys set, except the interpreter's class cell (compiled
        # code fills the cell after the class is made: see the cases).
        def __setitem__(self, key, value):
            if key != '__classcell__':
                log.append(('set', key))
            super().__setitem__(key, value)
    ns.update(log=log, describe=describe, Recording=Recording)
    exec(setup, ns)

def observe(ns, error):
    out = {'log': list(ns['log'])}
    if error is not None:
        out.update(result='error', error=(type(error).__name__, str(error)),
                   bound='RecVoice_T' in ns)
        return out
    cls = ns['RecVoice_T']
    out.update(result='ok', bound=True, metaclass=describe(type(cls)), name=cls.__name__,
               qualname=cls.__qualname__, module=cls.__module__, bases=describe(cls.__bases__),
               mro=describe(cls.__mro__), keys=sorted(cls.__dict__),
               static=isinstance(cls.__dict__.get('static'), staticmethod))
    if '__orig_bases__' in cls.__dict__:
        orig = cls.__dict__['__orig_bases__']
        out['orig_bases'] = describe(orig)
        out['orig_bases_are_the_statement_bases'] = len(orig) == 1 and orig[0] is ns['RecVoice']
    try:
        found = cls.cell(None)
        out['cell'] = 'the class' if found is cls else describe(found)
    except (NameError, RuntimeError):
        out['cell'] = 'empty'
    return out

def reference(setup):
    ns = {'__name__': 'cantorel.manage'}
    start(ns, setup)
    try:
        exec(CLASS_STATEMENT, ns)
        error = None
    except Exception as e:
        error = e
    return observe(ns, error)

def check(ns, setup, error, expect, fail_line, as_statement):
    native = observe(ns, error)
    problems = []
    statement = reference(setup)
    if as_statement and native != statement:
        problems.append(f'differs from the class statement:\n    native:    {native}\n'
                        f'    statement: {statement}')
    try:
        # what 3.13's compiler adds around a class body's own statements
        begins = [('set', '__firstlineno__')] if sys.version_info >= (3, 13) else []
        ends = [('set', '__static_attributes__')] if sys.version_info >= (3, 13) else []
        met = eval(expect, {'out': native, 'begins': begins, 'ends': ends,
                            'added': sorted(name for _, name in begins + ends)})
    except Exception as e:
        met = False
        problems.append(f'the expectation raised {e!r}')
    if not met:
        problems.append(f'expected {expect}\n    got {native}')
    if fail_line and error is not None:
        entry = traceback.extract_tb(error.__traceback__)[0]  # the outermost
        if (entry.filename, entry.lineno, entry.name) != ('cantorel/manage', fail_line,
                                                          'init cantorel.manage'):
            problems.append(f'traceback entry {entry.filename}:{entry.lineno} {entry.name}')
    return '\n'.join(problems)
)PY";

struct Case {
    const char* name;
    const char* setup;   // binds RecVoice (or not)
    const char* expect;  // a condition on `out`, the outcome of create_class
    int fail_line;       // here.line after a failure; 0 when the class is made
    // Whether the outcome is the interpreter's class statement's. Compiled
    // code differs in three ways: __orig_bases__ is stored before the body
    // runs, the namespace from __prepare__ is not checked to be a mapping,
    // and the class cell is filled once the metaclass call has returned.
    bool as_statement = true;
};

const Case kCases[] = {
    {"plain_base", R"PY(
class Base:
    pass
RecVoice = Base
)PY",
     "out['mro'] == ('RecVoice_T', 'Base', 'object') and 'orig_bases' not in out"
     " and out['cell'] == 'the class' and out['static'] and out['module'] == 'cantorel.manage'",
     0},

    {"mro_entries_tuple", R"PY(
class Base:
    pass
class Entry:
    def __mro_entries__(self, bases):
        log.append(('mro_entries', describe(bases)))
        return (Base,)
RecVoice = Entry()
)PY",
     "out['bases'] == ('Base',) and out['orig_bases'] == ('Entry()',)"
     " and out['orig_bases_are_the_statement_bases']"
     " and out['log'] == [('mro_entries', ('Entry()',))] and out['cell'] == 'the class'",
     0},

    {"mro_entries_list", R"PY(
class Base:
    pass
class Entry:
    def __mro_entries__(self, bases):
        return [Base]
RecVoice = Entry()
)PY",
     "out['error'] == ('TypeError', '__mro_entries__ must return a tuple') and not out['bound']",
     kClassLine},

    {"mro_entries_raises", R"PY(
class Entry:
    def __mro_entries__(self, bases):
        raise LookupError('no entries')
RecVoice = Entry()
)PY",
     "out['error'] == ('LookupError', 'no entries')", kClassLine},

    {"non_class_base", "RecVoice = 42\n", "out['result'] == 'error'", kClassLine},

    {"prepare_order", R"PY(
class Meta(type):
    @classmethod
    def __prepare__(mcls, name, bases):
        log.append(('prepare', name, describe(bases)))
        return Recording()
    def __new__(mcls, name, bases, ns):
        log.append(('new', name, describe(bases), type(ns).__name__))
        return super().__new__(mcls, name, bases, ns)
class Base(metaclass=Meta):
    pass
log.clear()
RecVoice = Base
)PY",
     "out['log'] == [('prepare', 'RecVoice_T', ('Base',)), ('set', '__module__'),"
     " ('set', '__qualname__')] + begins + [('set', 'cell'), ('set', 'plain'), ('set', 'static')]"
     " + ends + [('new', 'RecVoice_T', ('Base',), 'Recording')]"
     " and out['metaclass'] == 'Meta' and out['cell'] == 'the class'",
     0},

    {"orig_bases_order", R"PY(
class Meta(type):
    @classmethod
    def __prepare__(mcls, name, bases):
        return Recording()
class Base(metaclass=Meta):
    pass
class Entry:
    def __mro_entries__(self, bases):
        return (Base,)
log.clear()
RecVoice = Entry()
)PY",
     "out['log'] == [('set', '__module__'), ('set', '__qualname__')] + begins +"
     " [('set', '__orig_bases__'), ('set', 'cell'), ('set', 'plain'), ('set', 'static')] + ends"
     " and out['orig_bases_are_the_statement_bases'] and out['keys'] == sorted(['__doc__',"
     " '__module__', '__orig_bases__', 'cell', 'plain', 'static'] + added)",
     0, false},

    {"prepare_not_mapping", R"PY(
class Meta(type):
    @classmethod
    def __prepare__(mcls, name, bases):
        return None
RecVoice = Meta('Base', (), {})
)PY",
     "out['error'] == ('TypeError', \"'NoneType' object does not support item assignment\")"
     " and not out['bound']",
     kClassLine, false},

    {"metaclass_conflict", R"PY(
class MetaA(type):
    pass
class MetaB(type):
    pass
A = MetaA('A', (), {})
B = MetaB('B', (), {})
class Entry:
    def __mro_entries__(self, bases):
        return (A, B)
RecVoice = Entry()
)PY",
     "out['error'] == ('TypeError', 'metaclass conflict: the metaclass of a derived class must be"
     " a (non-strict) subclass of the metaclasses of all its bases') and not out['bound']",
     kClassLine},

    {"later_metaclass_wins", R"PY(
class MetaA(type):
    @classmethod
    def __prepare__(mcls, name, bases):
        log.append(('prepare', mcls.__name__))
        return {}
class MetaB(MetaA):
    pass
A = MetaA('A', (), {})
B = MetaB('B', (), {})
class Entry:
    def __mro_entries__(self, bases):
        return (A, B)
RecVoice = Entry()
)PY",
     "out['metaclass'] == 'MetaB' and out['bases'] == ('A', 'B')"
     " and out['log'] == [('prepare', 'MetaB')]", 0},

    {"first_metaclass_kept", R"PY(
class MetaA(type):
    @classmethod
    def __prepare__(mcls, name, bases):
        log.append(('prepare', mcls.__name__))
        return {}
class MetaB(MetaA):
    pass
A = MetaA('A', (), {})
B = MetaB('B', (), {})
class Entry:
    def __mro_entries__(self, bases):
        return (B, A)
RecVoice = Entry()
)PY",
     "out['metaclass'] == 'MetaB' and out['bases'] == ('B', 'A')"
     " and out['log'] == [('prepare', 'MetaB')]", 0},

    {"metaclass_raises", R"PY(
class Meta(type):
    def __new__(mcls, name, bases, ns):
        if name == 'RecVoice_T':
            raise ValueError(sorted(k for k in ns if not k.startswith('__')))
        return super().__new__(mcls, name, bases, ns)
RecVoice = Meta('Base', (), {})
)PY",
     "out['error'] == ('ValueError', \"['cell', 'plain', 'static']\") and not out['bound']",
     kClassLine},

    {"missing_global", "\n",
     "out['error'] == ('NameError', \"name 'RecVoice' is not defined\")", kClassLine},

    // A failure while a method is stored is reported at its def line.
    {"method_store_fails", R"PY(
class Refusing(dict):
    def __setitem__(self, key, value):
        if key == 'plain':
            raise KeyError(key)
        super().__setitem__(key, value)
class Meta(type):
    @classmethod
    def __prepare__(mcls, name, bases):
        return Refusing()
RecVoice = Meta('Base', (), {})
)PY",
     "out['error'] == ('KeyError', \"'plain'\")", kClassLine + 4},

    // __init_subclass__ runs inside the metaclass call, before the class
    // cell is filled; afterwards the cell is the class.
    {"class_cell_during_creation", R"PY(
class Base:
    def __init_subclass__(cls):
        try:
            log.append(('init_subclass', describe(cls.cell(None))))
        except (NameError, RuntimeError):
            log.append(('init_subclass', 'empty'))
RecVoice = Base
)PY",
     "out['log'] == [('init_subclass', 'empty')] and out['cell'] == 'the class'", 0, false},
};

rt::Owned cell_body(rt::Here& here, PyObject* /*self*/) {
    PyObject* cls = rt::class_cell(here.function);
    if (cls == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "super(): empty __class__ cell");
        return rt::failure;
    }
    return rt::Owned::ref(cls);
}

rt::Owned none_body(rt::Here&, PyObject* /*self*/) { return rt::Owned::ref(Py_None); }
rt::Owned static_body(rt::Here&) { return rt::Owned::ref(Py_None); }

const rt::Constant module_name{"cantorel.manage"}, source_file{"cantorel/manage"};
const rt::Global RecVoice_global{"RecVoice"};

const rt::ClassSpec kClass{
    "RecVoice_T",
    kClassLine,
    {
        rt::method<cell_body>("cell", kClassLine + 1, {rt::self_param}).uses_super(),
        rt::method<none_body>("plain", kClassLine + 4, {rt::self_param}),
        rt::method<static_body>("static", kClassLine + 7).static_method(),
    },
    &RecVoice_global,
};

[[noreturn]] void fatal(const char* what) {
    if (PyErr_Occurred()) {
        PyErr_Print();
    }
    std::fprintf(stderr, "set-up failed: %s\n", what);
    std::exit(2);
}

// What the exec step sets up before the class statements run.
PyObject* set_up_module() {
    try {
        rt::create_process_data();
    } catch (rt::PyErrorSet&) {
        fatal("create_process_data");
    }
    PyObject* module = PyModule_New("cantorel.manage");
    PyObject* builtins = PyImport_ImportModule("builtins");
    if (module == nullptr || builtins == nullptr) {
        fatal("module");
    }
    rt::Process& p = rt::process();
    p.module_name = module_name.get();
    p.source_file = source_file.get();
    p.module = module;
    p.module_dict = PyModule_GetDict(module);
    p.builtins_dict = PyModule_GetDict(builtins);
    p.builtin_staticmethod = PyDict_GetItemString(p.builtins_dict, "staticmethod");
    if (PyDict_SetItemString(p.module_dict, "__builtins__", builtins) < 0) {
        fatal("__builtins__");
    }
    try {
        p.function_type = rt::create_function_type(module);
    } catch (rt::PyErrorSet&) {
        fatal("function type");
    }
    return module;
}

// Runs one case; returns an empty string when it passes.
std::string run_case(const Case& c, PyObject* check, rt::MethodRuntime* const* methods,
                     rt::TracebackSite& site) {
    rt::Process& p = rt::process();
    PyObject* start = PyDict_GetItemString(PyFunction_GET_GLOBALS(check), "start");
    PyObject* started = PyObject_CallFunction(start, "Os", p.module_dict, c.setup);
    if (started == nullptr) {
        PyErr_Print();
        return "the set-up failed";
    }
    Py_DECREF(started);

    std::string problems;
    rt::Here here{site, -1, p.module_dict, nullptr};
    PyObject* error = Py_None;
    Py_INCREF(error);
    try {
        rt::create_class(here, kClass, methods);
        if (c.fail_line != 0) {
            problems += "create_class succeeded\n";
        }
    } catch (rt::PyErrorSet&) {
        here.add_traceback();
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);
        PyErr_NormalizeException(&type, &value, &tb);
        if (tb != nullptr) {
            PyException_SetTraceback(value, tb);
        }
        Py_XDECREF(type);
        Py_XDECREF(tb);
        Py_SETREF(error, value);
        if (here.line != c.fail_line) {
            problems += "here.line is " + std::to_string(here.line) + ", expected " +
                        std::to_string(c.fail_line) + "\n";
        }
    }
    PyObject* result = PyObject_CallFunction(check, "OsOsiO", p.module_dict, c.setup, error,
                                             c.expect, c.fail_line,
                                             c.as_statement ? Py_True : Py_False);
    Py_DECREF(error);
    if (result == nullptr) {
        PyErr_Print();
        return problems + "the check raised";
    }
    const char* text = PyUnicode_AsUTF8(result);
    problems += text != nullptr ? text : "?";
    Py_DECREF(result);
    return problems;
}

}  // namespace

int main(int argc, char** argv) {
    Py_Initialize();
    set_up_module();

    PyObject* harness = PyDict_New();
    PyDict_SetItemString(harness, "__builtins__", PyEval_GetBuiltins());
    PyObject* ran = PyRun_String(kHarness, Py_file_input, harness, harness);
    if (ran == nullptr) {
        fatal("harness");
    }
    Py_DECREF(ran);
    PyObject* check = PyDict_GetItemString(harness, "check");

    std::vector<rt::MethodRuntime*> methods;
    try {
        for (const rt::MethodSpec& m : kClass.methods) {
            methods.push_back(rt::build_method_runtime(m));
        }
    } catch (rt::PyErrorSet&) {
        fatal("method runtimes");
    }
    PyObject* entry_name = PyUnicode_FromString("init cantorel.manage");
    rt::TracebackSite site(entry_name);

    int passed = 0;
    int failed = 0;
    for (const Case& c : kCases) {
        bool wanted = argc < 2;
        for (int i = 1; i < argc; ++i) {
            wanted = wanted || std::strcmp(argv[i], c.name) == 0;
        }
        if (!wanted) {
            continue;
        }
        const std::string problems = run_case(c, check, methods.data(), site);
        if (problems.empty()) {
            std::printf("PASS %s\n", c.name);
            ++passed;
        } else {
            std::printf("FAIL %s: %s\n", c.name, problems.c_str());
            ++failed;
        }
    }
    std::printf("%d passed, %d failed\n", passed, failed);
    std::fflush(stdout);
    return failed == 0 && passed > 0 ? 0 : 1;
}
