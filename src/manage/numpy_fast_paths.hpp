// Everything the module knows of numpy: whether `np` is the numpy whose C
// API it was built against, and the fast paths that allows while it stays
// so. Each path gives what the Python steps it replaces would give, to the
// bit; in every other case (a stand-in numpy, a replaced attribute, an
// unusual array) the caller runs the steps through whatever `np` is.
#pragma once

#include <Python.h>

#include "runtime/ref.hpp"

namespace manage::numpy_fast {

// Called once by the exec step when the imports have bound `np` and
// `deque` (line 7), before any class statement runs. Never fails: without
// numpy's C API the paths stay closed.
void imports_bound(PyObject* np, PyObject* deque);

// The detector's frame. Whether `np` is the numpy seen at import, with the
// attributes the frame's steps use unchanged. Runs no Python code.
bool untouched(PyObject* np);
// Whether the context is a row the frame path can extend directly: an exact
// ndarray, a C-contiguous, aligned, native-order float32 row of shape (1, k).
bool plain_row(PyObject* ctx);
// The frame's three arrays from a plain row and the frame's bytes.
rt::Status frame_arrays(PyObject* ctx, PyObject* pcm_bytes, rt::Owned& x, rt::Owned& context,
                        rt::Owned& input);
// float(prob), without numpy's warning for a (1, 1) array.
rt::Owned to_float(PyObject* prob);

// The capture's smoothing: prob_avg = np.mean(window), where `np` and
// `mean` are what the loop looked up. With numpy's own mean of a deque of
// floats the result is computed here (the same double, and nothing numpy
// would warn about; numpy_mean.hpp), so true and *value; in every other
// case false, and the caller calls `mean`. Runs no Python code.
bool window_mean_here(PyObject* np, PyObject* mean, PyObject* window, double* value);

}  // namespace manage::numpy_fast
