#include "runtime/ops.hpp"

namespace rt {
namespace {

const Constant kw_flush{[] { return Py_BuildValue("(s)", "flush"); }};

Status too_few(Py_ssize_t count) {
    PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", count,
                 count == 1 ? "" : "s");
    return failure;
}

Status too_many() {
    PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", Py_ssize_t{2});
    return failure;
}

}  // namespace

Status unpack_two(PyObject* value, Owned& first, Owned& second) {
    if (PyTuple_CheckExact(value) || PyList_CheckExact(value)) {
        const Py_ssize_t size = Py_SIZE(value);
        if (size > 2) {
            return too_many();
        }
        if (size < 2) {
            return too_few(size);
        }
        PyObject** items = PyTuple_CheckExact(value) ? &PyTuple_GET_ITEM(value, 0)
                                                     : &PyList_GET_ITEM(value, 0);
        Owned a = Owned::ref(items[0]);
        Owned b = Owned::ref(items[1]);
        first = std::move(a);
        second = std::move(b);
        return ok;
    }
    Owned iterator = Owned::steal(PyObject_GetIter(value));
    if (!iterator) {
        return failure;
    }
    Owned items[2];
    for (Py_ssize_t i = 0; i < 2; ++i) {
        items[i] = Owned::steal(PyIter_Next(iterator.get()));
        if (!items[i]) {
            return PyErr_Occurred() ? Status(failure) : too_few(i);
        }
    }
    Owned extra = Owned::steal(PyIter_Next(iterator.get()));
    if (extra) {
        return too_many();
    }
    if (PyErr_Occurred()) {
        return failure;
    }
    first = std::move(items[0]);
    second = std::move(items[1]);
    return ok;
}

Status Method::load(PyObject* object, const Constant& name) {
    PyObject* found = nullptr;
    const int unbound = compat::get_method(object, name.get(), &found);
    callable_ = Owned::steal(found);
    if (!callable_) {
        return failure;
    }
    self_ = unbound ? object : nullptr;
    return ok;
}

Status print(PyObject* text, bool flush) {
    PyObject* argv[] = {nullptr, text, Py_True};
    Owned result = Owned::steal(compat::vectorcall(process().builtin_print, argv + 1,
                                                   1 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                                   flush ? kw_flush.get() : nullptr));
    return result ? ok : Status(failure);
}

Status print_failure(const Constant* tag, PyObject* e, bool flush) {
    Owned line = Owned::steal(PyObject_Str(e));
    if (line && tag != nullptr) {
        line = Owned::steal(PyUnicode_Concat(tag->get(), line.get()));
    }
    return line ? print(line.get(), flush) : Status(failure);
}

}  // namespace rt
