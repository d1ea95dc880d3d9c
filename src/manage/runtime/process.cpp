#include "runtime/process.hpp"

#include "runtime/error.hpp"

namespace rt {
namespace {

// Deliberately never freed (see process.hpp).
Process* the_process = nullptr;

const char* const name_texts[] = {
#define NAME(id, text) text,
#include "runtime/names.def"
#undef NAME
};

PyObject* new_int(long value) { return own(PyLong_FromLong(value)).release(); }
PyObject* new_float(double value) { return own(PyFloat_FromDouble(value)).release(); }

PyObject* new_name_tuple(Name n) {
    Owned tuple = own(PyTuple_New(1));
    PyTuple_SET_ITEM(tuple.get(), 0, Owned::ref(name(n)).release());
    return tuple.release();
}

void fill(Process& p) {
    for (int i = 0; i < static_cast<int>(Name::count_); ++i) {
        p.names[i] = own(PyUnicode_InternFromString(name_texts[i])).release();
    }
    p.empty_tuple = own(PyTuple_New(0)).release();
    p.empty_bytes = own(PyBytes_FromStringAndSize(nullptr, 0)).release();
    p.empty_str = own(PyUnicode_New(0, 0)).release();

    Numbers& n = p.number;
    n.f0_35 = new_float(0.35);
    n.f0_6 = new_float(0.6);
    n.f32768 = new_float(32768.0);
    n.i0 = new_int(0);
    n.i1 = new_int(1);
    n.i2 = new_int(2);
    n.i3 = new_int(3);
    n.i4 = new_int(4);
    n.i5 = new_int(5);
    n.i10 = new_int(10);
    n.i64 = new_int(64);
    n.i128 = new_int(128);
    n.i512 = new_int(512);
    n.i16000 = new_int(16000);
    n.i48000 = new_int(48000);
    n.i_minus64 = new_int(-64);

    p.state_shape = own(PyTuple_Pack(3, n.i2, n.i1, n.i128)).release();
    p.context_shape = own(PyTuple_Pack(2, n.i1, n.i64)).release();
    p.all_columns = own(PySlice_New(nullptr, nullptr, nullptr)).release();
    Owned tail = own(PySlice_New(n.i_minus64, nullptr, nullptr));
    p.last_64_columns = own(PyTuple_Pack(2, p.all_columns, tail.get())).release();
    p.kw_dtype = new_name_tuple(Name::dtype);
    p.kw_axis = new_name_tuple(Name::axis);
    p.kw_providers = new_name_tuple(Name::providers);
}

}  // namespace

Process& process() { return *the_process; }

bool process_data_exists() { return the_process != nullptr; }

bool create_process_data() {
    if (the_process != nullptr) {
        return true;
    }
    // Zeroed, so that a half-filled attempt is simply abandoned (leaked) and
    // the next import starts again.
    auto* p = new Process{};
    Process* previous = the_process;
    the_process = p;  // name() reads through process() while filling
    try {
        fill(*p);
    } catch (PyErrorSet&) {
        the_process = previous;
        return false;
    }
    return true;
}

}  // namespace rt
