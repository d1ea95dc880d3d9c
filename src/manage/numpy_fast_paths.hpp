// Everything the module knows of numpy: whether `np` is the numpy whose C
// API it was built against, and the fast paths that allows while it stays
// so. Each path gives what the Python steps it replaces would give, to the
// bit; in every other case (a stand-in numpy, a replaced attribute, an
// unusual array) the caller runs the steps through whatever `np` is.
#pragma once

#include <Python.h>

#include <cstdint>

#include "runtime/compat.hpp"
#include "runtime/ref.hpp"

namespace manage::numpy_fast {

namespace detail {
// What the exec step saw of numpy, for the frame path. Process-wide, never
// freed (the module keeps numpy for the life of the process anyway).
struct NumpySeen {
    bool c_api = false;            // the C API imported and matching the module
    PyObject* module = nullptr;    // the module `np` was bound to
    PyObject* dict = nullptr;      // its namespace
    uint64_t dict_version = 0;     // when the attributes below were last confirmed
    PyObject* attributes[5] = {};  // frombuffer, int16, float32, newaxis, concatenate
};
extern NumpySeen numpy_seen;
// untouched() once numpy's namespace has changed: the attributes one by one.
bool attributes_unchanged(uint64_t version);
}  // namespace detail

// Called once by the exec step when the imports have bound `np` and
// `deque` (line 7), before any class statement runs. Never fails: without
// numpy's C API the paths stay closed.
void imports_bound(PyObject* np, PyObject* deque);

// The detector's frame. Whether `np` is the numpy seen at import, with the
// attributes the frame's steps use unchanged; numpy's dict version makes
// the usual case two comparisons, inline. Runs no Python code.
inline bool untouched(PyObject* np) {
    const detail::NumpySeen& seen = detail::numpy_seen;
    if (!seen.c_api || np != seen.module) {
        return false;
    }
    const uint64_t version = compat::dict_version(seen.dict);
    return version == seen.dict_version || detail::attributes_unchanged(version);
}
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
