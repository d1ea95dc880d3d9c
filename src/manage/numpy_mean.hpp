// numpy's mean of a short window of Python floats, without numpy.
//
// np.mean(window) of a deque of floats converts it to a float64 array and
// reduces it with np.add, which starts from the identity 0.0 and adds the
// array's pairwise sum: below 8 values a running sum from 0.0; from 8 to
// 128 values eight running sums over blocks of 8, combined as
// ((r0 + r1) + (r2 + r3)) + ((r4 + r5) + (r6 + r7)), then the rest one by
// one. The sum is then divided by the count. Done here in that order, the
// result is the same double, bit for bit.
//
// numpy checks the floating-point flags after the sum and after the
// division, and warns or raises as np.seterr says. A window whose sum or
// mean raises one of those flags is left to numpy, so that what it reports
// is reported as before; the flags themselves are left as they were found.
#pragma once

#include <Python.h>

#include <cfenv>

namespace manage {

// The longest window summed here: numpy's pairwise sum splits longer ones
// recursively.
constexpr Py_ssize_t mean_window_max = 128;

// numpy's pairwise sum of a[0..n), 1 <= n <= mean_window_max.
inline double pairwise_sum(const double* a, Py_ssize_t n) {
    if (n < 8) {
        double sum = 0.0;
        for (Py_ssize_t i = 0; i < n; ++i) {
            sum += a[i];
        }
        return sum;
    }
    double r[8];
    for (int j = 0; j < 8; ++j) {
        r[j] = a[j];
    }
    Py_ssize_t i = 8;
    for (; i < n - n % 8; i += 8) {
        for (int j = 0; j < 8; ++j) {
            r[j] += a[i + j];
        }
    }
    double sum = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
    for (; i < n; ++i) {
        sum += a[i];
    }
    return sum;
}

// What np.mean(window) would return, when `window` is exactly of type
// `deque_type` (the C type collections.deque), holds 1 to mean_window_max
// values that are all exact floats, and numpy would report no
// floating-point error for it: true and the mean in *mean. False otherwise,
// with nothing set (and no Python error). Runs no Python code.
inline bool numpy_mean_of_floats(PyObject* window, PyTypeObject* deque_type, double* mean) {
    if (deque_type == nullptr || Py_TYPE(window) != deque_type) {
        return false;
    }
    const Py_ssize_t n = PyObject_Size(window);  // the deque's own length: no Python code
    if (n < 1 || n > mean_window_max) {
        if (n < 0) {
            PyErr_Clear();
        }
        return false;
    }
    double values[mean_window_max];
    for (Py_ssize_t i = 0; i < n; ++i) {
        // A deque's item: a borrowed value made a new reference, no Python code.
        PyObject* item = PySequence_GetItem(window, i);
        if (item == nullptr) {
            PyErr_Clear();
            return false;
        }
        const bool plain = PyFloat_CheckExact(item);
        values[i] = plain ? PyFloat_AS_DOUBLE(item) : 0.0;
        Py_DECREF(item);  // the deque still holds it: no destructor runs
        if (!plain) {
            return false;
        }
    }

    // The flags numpy reports (it ignores only "inexact"); whatever another
    // computation left set is put back afterwards.
    constexpr int reported = FE_DIVBYZERO | FE_INVALID | FE_OVERFLOW | FE_UNDERFLOW;
    std::fexcept_t found{};
    const int set_before = std::fetestexcept(reported);
    if (set_before != 0) {
        std::fegetexceptflag(&found, reported);
        std::feclearexcept(reported);
    }
    // The compiler does not know that arithmetic sets the flags: these two
    // barriers keep the sum and the division between the clearing and the
    // test (the first also makes `values` possibly written, so nothing is
    // computed from it before).
    __asm__ __volatile__("" : : "r"(values) : "memory");
    const double result = (0.0 + pairwise_sum(values, n)) / static_cast<double>(n);
    __asm__ __volatile__("" : : "g"(result) : "memory");
    const int raised = std::fetestexcept(reported);
    if (set_before != 0) {
        std::fesetexceptflag(&found, reported);
    } else if (raised != 0) {
        std::feclearexcept(raised);
    }
    if (raised != 0) {
        return false;
    }
    *mean = result;
    return true;
}

}  // namespace manage
