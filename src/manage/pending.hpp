// Bodies of methods whose behaviour arrives in a later change: they bind
// their arguments like every method and then raise NotImplementedError from
// the first line of their body.
#pragma once

#include "runtime/ops.hpp"

#define PENDING_BODY(first_line, qualified_name)                               \
    [](rt::Here& here, PyObject* const*, PyObject*) -> PyObject* {             \
        LINE((first_line) + 1);                                                \
        rt::not_implemented(qualified_name);                                   \
    }
