#include "runtime/process.hpp"

#include "runtime/compat.hpp"
#include "runtime/constants.hpp"
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

void fill(Process& p) {
    for (int i = 0; i < static_cast<int>(Name::count_); ++i) {
        p.names[i] = own(PyUnicode_InternFromString(name_texts[i])).release();
    }
    p.empty_tuple = own(PyTuple_New(0)).release();
    p.empty_bytes = own(PyBytes_FromStringAndSize("", 0)).release();
    p.empty_str = own(PyUnicode_New(0, 0)).release();
}

}  // namespace

Process& process() { return *the_process; }

bool process_data_exists() { return the_process != nullptr; }

bool create_process_data() {
    compat::check_layout();
    if (the_process != nullptr) {
        return Constant::create_all();
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
    return Constant::create_all();
}

}  // namespace rt
