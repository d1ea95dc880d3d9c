/* Where the interpreter keeps the fields that the module reads on every
 * call: the finalizing flag, the current thread state (until 3.11; 3.12
 * keeps it in a thread-local variable of libpython) and the recursion limit
 * (3.10; from 3.11 the thread state carries what the check needs, in its
 * public part). The public API reaches them only through calls; their
 * offsets are worked out here by the compiler from the interpreter's own
 * internal headers (C, which those headers are written in), so they are
 * those of the interpreter the module is built against. compat.hpp
 * confirms them at start-up against the public calls before it uses them. */
#define Py_BUILD_CORE 1
#include <Python.h>
#include <internal/pycore_interp.h>
#include <internal/pycore_runtime.h>

#include <stddef.h>

#define NO_FIELD ((size_t)-1)

const size_t cantorel_runtime_offsets[3] = {
    offsetof(_PyRuntimeState, _finalizing),
#if PY_VERSION_HEX < 0x030C0000
    offsetof(_PyRuntimeState, gilstate.tstate_current),
#else
    NO_FIELD,
#endif
#if PY_VERSION_HEX < 0x030B0000
    offsetof(PyInterpreterState, ceval.recursion_limit),
#else
    NO_FIELD,
#endif
};
