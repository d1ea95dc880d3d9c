// Bodies written with the runtime's handlers (rt::try_except, rt::try_finally),
// each the twin of a small Python function in tests/test_handlers.py with the
// same statements on the same lines; and bodies that throw C++ exceptions.
// They become the static methods of the probe's class `Handlers`.
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>

#include "runtime/body.hpp"
#include "runtime/class_statement.hpp"
#include "runtime/error.hpp"

namespace {

using namespace rt;

namespace g {
const Global Exception{"Exception"};
}  // namespace g

const Constant done{"done"};

// region() as a step of a body
Status run(PyObject* callable) {
    CHECK(call(callable));
    return ok;
}

// try:                      11
//     region()              12
// except Exception as e:    13
//     handler(e)            14
// return "done"             15
Owned except_basic(Here& here, PyObject* region, PyObject* handler) {
    LINE(11);
    CHECK(try_except(
        here, g::Exception, 13,
        [&]() -> Status {
            LINE(12);
            return run(region);
        },
        [&](PyObject* e) -> Status {
            LINE(14);
            CHECK(call(handler, e));
            return ok;
        }));
    LINE(15);
    return Owned::ref(done.get());
}
const MethodSpec except_basic_row =
    method<except_basic>("except_basic", 10, {param("region"), param("handler")})
        .locals({"e"})
        .static_method();

// try:                      21
//     region()              22
// finally:                  23
//     cleanup()             24
// return "done"             25
Owned finally_basic(Here& here, PyObject* region, PyObject* cleanup) {
    LINE(21);
    CHECK(try_finally(
        here,
        [&]() -> Status {
            LINE(22);
            return run(region);
        },
        [&]() -> Status {
            LINE(24);
            return run(cleanup);
        }));
    LINE(25);
    return Owned::ref(done.get());
}
const MethodSpec finally_basic_row =
    method<finally_basic>("finally_basic", 20, {param("region"), param("cleanup")})
        .static_method();

// try:                          31
//     try:                      32
//         region()              33
//     except Exception as e:    34
//         handler(e)            35
// finally:                      36
//     cleanup()                 37
// return "done"                 38
Owned except_finally(Here& here, PyObject* region, PyObject* handler, PyObject* cleanup) {
    LINE(31);
    CHECK(try_finally(
        here,
        [&]() -> Status {
            LINE(32);
            return try_except(
                here, g::Exception, 34,
                [&]() -> Status {
                    LINE(33);
                    return run(region);
                },
                [&](PyObject* e) -> Status {
                    LINE(35);
                    CHECK(call(handler, e));
                    return ok;
                });
        },
        [&]() -> Status {
            LINE(37);
            return run(cleanup);
        }));
    LINE(38);
    return Owned::ref(done.get());
}
const MethodSpec except_finally_row =
    method<except_finally>("except_finally", 30,
                           {param("region"), param("handler"), param("cleanup")})
        .locals({"e"})
        .static_method();

// for item in items:            41
//     try:                      42
//         item()                43
//     except Exception as e:    44
//         handler(e)            45
// return "done"                 46
Owned loop_except(Here& here, PyObject* items, PyObject* handler) {
    LINE(41);
    LET(iterator, Owned::steal(PyObject_GetIter(items)));
    for (;;) {
        LINE(41);
        Owned item = Owned::steal(PyIter_Next(iterator.get()));
        if (!item) {
            if (PyErr_Occurred()) {
                return failure;
            }
            break;
        }
        LINE(42);
        CHECK(try_except(
            here, g::Exception, 44,
            [&]() -> Status {
                LINE(43);
                return run(item.get());
            },
            [&](PyObject* e) -> Status {
                LINE(45);
                CHECK(call(handler, e));
                return ok;
            }));
    }
    LINE(46);
    return Owned::ref(done.get());
}
const MethodSpec loop_except_row =
    method<loop_except>("loop_except", 40, {param("items"), param("handler")})
        .locals({"item", "e"})
        .static_method();

// try:                          51
//     region()                  52
// finally:                      53
//     try:                      54
//         cleanup()             55
//     except Exception as e:    56
//         handler(e)            57
// return "done"                 58
Owned except_in_finally(Here& here, PyObject* region, PyObject* cleanup, PyObject* handler) {
    LINE(51);
    CHECK(try_finally(
        here,
        [&]() -> Status {
            LINE(52);
            return run(region);
        },
        [&]() -> Status {
            LINE(54);
            return try_except(
                here, g::Exception, 56,
                [&]() -> Status {
                    LINE(55);
                    return run(cleanup);
                },
                [&](PyObject* e) -> Status {
                    LINE(57);
                    CHECK(call(handler, e));
                    return ok;
                });
        }));
    LINE(58);
    return Owned::ref(done.get());
}
const MethodSpec except_in_finally_row =
    method<except_in_finally>("except_in_finally", 50,
                              {param("region"), param("cleanup"), param("handler")})
        .locals({"e"})
        .static_method();

// C++ exceptions inside a body, which the entry point turns into Python
// errors: kind is "runtime_error", "bad_alloc", "int", "error_set" (the
// runtime's PyErrorSet with a ValueError pending), "error_not_set" (one
// with nothing pending), or "in_handler" (a runtime_error thrown while an
// except clause handles region()'s failure).
[[noreturn]] void throw_kind(const char* kind) {
    if (std::strcmp(kind, "error_set") == 0) {
        raise(PyExc_ValueError, "pending when thrown");
    }
    if (std::strcmp(kind, "error_not_set") == 0) {
        raise_error();
    }
    if (std::strcmp(kind, "bad_alloc") == 0) {
        throw std::bad_alloc();
    }
    if (std::strcmp(kind, "int") == 0) {
        throw 42;
    }
    throw std::runtime_error(std::string("thrown as ") + kind);
}

Owned throw_cxx(Here& here, PyObject* kind, PyObject* region) {
    LINE(61);
    const char* text = PyUnicode_AsUTF8(kind);
    CHECK(text);
    if (std::strcmp(text, "in_handler") != 0) {
        LINE(62);
        throw_kind(text);
    }
    LINE(63);
    CHECK(try_except(
        here, g::Exception, 65,
        [&]() -> Status {
            LINE(64);
            return run(region);
        },
        [&](PyObject*) -> Status {
            LINE(66);
            throw_kind(text);
        }));
    return Owned::ref(done.get());
}
const MethodSpec throw_cxx_row =
    method<throw_cxx>("throw_cxx", 60, {param("kind"), param("region")}).static_method();

}  // namespace

namespace probe {

// A module's exec step that throws: kind as throw_kind's, at line 4 of the
// probe's body; returns None or fails as the import would.
PyObject* module_step(PyObject*, PyObject* kind) {
    static auto* site = new TracebackSite(own(PyUnicode_FromString("init _cantorel_probe")).release());
    const char* text = PyUnicode_AsUTF8(kind);
    if (text == nullptr) {
        return nullptr;
    }
    Here here{*site, 1, process().module_dict, nullptr};
    try {
        run_module_step("init _cantorel_probe", here, [&] {
            LINE(4);
            throw_kind(text);
        });
    } catch (PyErrorSet&) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

extern const ClassSpec Handlers_class;  // external linkage, for the probe's module
const ClassSpec Handlers_class{
    "Handlers", 1,
    {except_basic_row, finally_basic_row, except_finally_row, loop_except_row,
     except_in_finally_row, throw_cxx_row},
};

}  // namespace probe
