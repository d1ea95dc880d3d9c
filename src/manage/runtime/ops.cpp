#include "runtime/ops.hpp"

namespace rt {
namespace {

[[noreturn]] void too_few(Py_ssize_t count) {
    PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", count,
                 count == 1 ? "" : "s");
    raise_error();
}

[[noreturn]] void too_many() {
    PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", Py_ssize_t{2});
    raise_error();
}

}  // namespace

void unpack_two(PyObject* value, Owned& first, Owned& second) {
    if (PyTuple_CheckExact(value) || PyList_CheckExact(value)) {
        const Py_ssize_t size = Py_SIZE(value);
        if (size > 2) {
            too_many();
        }
        if (size < 2) {
            too_few(size);
        }
        PyObject** items = PyTuple_CheckExact(value) ? &PyTuple_GET_ITEM(value, 0)
                                                     : &PyList_GET_ITEM(value, 0);
        Owned a = Owned::ref(items[0]);
        Owned b = Owned::ref(items[1]);
        first = std::move(a);
        second = std::move(b);
        return;
    }
    Owned iterator = own(PyObject_GetIter(value));
    Owned items[2];
    for (Py_ssize_t i = 0; i < 2; ++i) {
        items[i] = Owned::steal(PyIter_Next(iterator.get()));
        if (!items[i]) {
            if (PyErr_Occurred()) {
                raise_error();
            }
            too_few(i);
        }
    }
    Owned extra = Owned::steal(PyIter_Next(iterator.get()));
    if (extra) {
        too_many();
    }
    if (PyErr_Occurred()) {
        raise_error();
    }
    first = std::move(items[0]);
    second = std::move(items[1]);
}

void not_implemented(const char* qualified_name) {
    PyErr_Format(PyExc_NotImplementedError, "%s is not available in this build yet",
                 qualified_name);
    raise_error();
}

}  // namespace rt
