// The capture loop's `np.mean(window)`, computed here (numpy_mean.hpp)
// while `np`, its `mean` and the window's type are the ones the module's
// imports bound; otherwise left to whatever `np.mean` is.
#pragma once

#include <Python.h>

namespace manage {

// prob_avg = np.mean(window), where `np` and `mean` are what the loop
// looked up: with numpy's own mean of a deque of floats the result is
// computed here (the same double, and nothing numpy would warn about), so
// true and *value; in every other case false, and the caller calls `mean`.
// Runs no Python code.
bool window_mean_here(PyObject* np, PyObject* mean, PyObject* window, double* value);

}  // namespace manage
