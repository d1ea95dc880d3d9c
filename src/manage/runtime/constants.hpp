// Names and constants that a unit of the module uses at run time, declared
// in that unit as namespace-scope objects and created once per process by
// the exec step:
//
//     const rt::Constant fill_name{"fill"};                  // interned str
//     const rt::Constant state_shape{[] { return Py_BuildValue("(iii)", 2, 1, 128); }};
//
// Each object only records itself at static initialisation; the Python
// object is made by `Constant::create_all()` and deliberately never freed,
// since no C++ destructor may own a Python object (it would run after the
// interpreter is gone). `get()` is an inline load.
#pragma once

#include <Python.h>

namespace rt {

class Constant {
public:
    using Make = PyObject* (*)();  // a new reference, or null with an exception set

    // An interned str.
    explicit Constant(const char* text) noexcept : text_(text), make_(nullptr) { enlist(); }
    // Any other object, made by `make` (a captureless lambda).
    explicit Constant(Make make) noexcept : text_(nullptr), make_(make) { enlist(); }
    Constant(const Constant&) = delete;
    Constant& operator=(const Constant&) = delete;

    PyObject* get() const noexcept { return object_; }
    const char* text() const noexcept { return text_; }

    // Makes every constant that has no object yet; import-time code, so it
    // throws PyErrorSet if one cannot be made (a later call goes on from
    // there).
    static void create_all();

private:
    void enlist() noexcept {
        next_ = first_;
        first_ = this;
    }
    const char* text_;
    Make make_;
    mutable PyObject* object_ = nullptr;
    Constant* next_ = nullptr;
    static Constant* first_;  // constant-initialised, so safe to use from any unit's initialiser
};

}  // namespace rt
