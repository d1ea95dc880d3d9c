#include "runtime/process.hpp"

#include "runtime/compat.hpp"
#include "runtime/constants.hpp"
#include "runtime/error.hpp"

namespace rt {
namespace {

// Deliberately never freed (see process.hpp).
Process* the_process = nullptr;

const Constant staticmethod_name{"staticmethod"}, super_name{"super"}, print_name{"print"};

PyObject* builtin(const Constant& name) {
    PyObject* value = PyDict_GetItemWithError(the_process->builtins_dict, name.get());
    if (value == nullptr) {
        if (!PyErr_Occurred()) {
            PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.get());
        }
        raise_error();
    }
    return Owned::ref(value).release();
}

}  // namespace

Process& process() { return *the_process; }

bool process_data_exists() { return the_process != nullptr; }

void create_process_data() {
    compat::check_layout();
    if (the_process == nullptr) {
        // Zeroed; a failed attempt is abandoned (leaked) and the next import
        // starts again.
        auto* p = new Process{};
        p->empty_tuple = own(PyTuple_New(0)).release();
        p->empty_bytes = own(PyBytes_FromStringAndSize("", 0)).release();
        p->empty_str = own(PyUnicode_New(0, 0)).release();
        the_process = p;
    }
    Constant::create_all();
}

void find_builtins() {
    Process& p = process();
    p.builtin_staticmethod = builtin(staticmethod_name);
    p.builtin_super = builtin(super_name);
    p.builtin_print = builtin(print_name);
}

}  // namespace rt
