/* Where the interpreter keeps three fields that the module reads on every
 * call: the finalizing flag, the current thread state and the recursion
 * limit. The public API reaches them only through calls; their offsets are
 * worked out here by the compiler from the interpreter's own internal
 * headers (C, which those headers are written in), so they are those of the
 * interpreter the module is built against. compat.hpp confirms them at
 * start-up against the public calls before it uses them. */
#define Py_BUILD_CORE 1
#include <Python.h>
#include <internal/pycore_interp.h>
#include <internal/pycore_runtime.h>

#include <stddef.h>

const size_t cantorel_runtime_offsets[3] = {
    offsetof(_PyRuntimeState, _finalizing),
    offsetof(_PyRuntimeState, gilstate.tstate_current),
    offsetof(PyInterpreterState, ceval.recursion_limit),
};
