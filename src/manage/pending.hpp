// Bodies of methods whose behaviour arrives in a later change: they bind
// their arguments like every method and then raise NotImplementedError from
// the first line of their body.
#pragma once

#include <utility>

#include "runtime/body.hpp"
#include "runtime/function.hpp"

namespace manage {

template <int FirstLine, typename Indices>
struct Pending;

template <int FirstLine, std::size_t... I>
struct Pending<FirstLine, std::index_sequence<I...>> {
    static rt::Owned body(rt::Here& here, decltype((void)I, static_cast<PyObject*>(nullptr))...) {
        LINE(FirstLine + 1);
        auto* f = reinterpret_cast<rt::FunctionObject*>(here.function);
        PyErr_Format(PyExc_NotImplementedError, "%U is not available in this build yet",
                     f->qualname);
        return rt::failure;
    }
};

}  // namespace manage

// The body of a method with `n_params` parameters whose def is at `first_line`.
#define PENDING(first_line, n_params) \
    ::manage::Pending<(first_line), std::make_index_sequence<(n_params)>>::body
