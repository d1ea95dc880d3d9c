// The module's knowledge of numpy, in one place (numpy_fast_paths.hpp).
#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL cantorel_manage_ARRAY_API
#include "numpy_fast_paths.hpp"

#include <numpy/arrayobject.h>
#include <numpy/arrayscalars.h>

#include <cstdint>
#include <cstring>

#include "numpy_mean.hpp"
#include "runtime/constants.hpp"

namespace manage::numpy_fast {

using detail::numpy_seen;
using detail::NumpySeen;

namespace {

using namespace rt;

const Constant frombuffer_name{"frombuffer"}, int16_name{"int16"}, float32_name{"float32"},
    newaxis_name{"newaxis"}, concatenate_name{"concatenate"};

// What the exec step saw of numpy, for the frame path. Process-wide, never
// freed (the module keeps numpy for the life of the process anyway).

const Constant* const frame_attributes[] = {&frombuffer_name, &int16_name, &float32_name,
                                            &newaxis_name, &concatenate_name};

// Whether `numpy` is the numpy whose C API the module was built against,
// with the attributes the frame path uses; if so the frame path may take
// over from the steps. Never fails: without a usable C API the detector
// keeps to its steps.
bool numpy_c_api_matches(PyObject* numpy) {
    NumpySeen& seen = numpy_seen;
    seen.c_api = false;
    // A numpy whose C API cannot be imported (a stand-in module, another
    // ABI) leaves the detector on the step-by-step path.
    if (_import_array() < 0) {
        PyErr_Clear();
        return false;
    }
    PyObject* dict = PyModule_Check(numpy) ? PyModule_GetDict(numpy) : nullptr;
    if (dict == nullptr) {
        return false;
    }
    PyObject* found[5];
    for (int i = 0; i < 5; ++i) {
        found[i] = PyDict_GetItemWithError(dict, frame_attributes[i]->get());
        if (found[i] == nullptr) {
            PyErr_Clear();
            return false;
        }
    }
    // The module must be the numpy whose C API this is.
    PyObject* ndarray = PyDict_GetItemString(dict, "ndarray");
    if (ndarray != reinterpret_cast<PyObject*>(&PyArray_Type) ||
        found[1] != reinterpret_cast<PyObject*>(&PyShortArrType_Type) ||
        found[2] != reinterpret_cast<PyObject*>(&PyFloatArrType_Type) || found[3] != Py_None) {
        return false;
    }
    for (int i = 0; i < 5; ++i) {
        Py_INCREF(found[i]);
        Py_XSETREF(seen.attributes[i], found[i]);
    }
    Py_INCREF(numpy);
    Py_XSETREF(seen.module, numpy);
    seen.dict = dict;
    seen.dict_version = compat::dict_version(dict);
    seen.c_api = true;
    return true;
}

// What the module's imports bound at import, for the window's mean: numpy,
// its `mean`, and the C type collections.deque. Process-wide, never freed.
struct MeanSeen {
    PyObject* numpy = nullptr;
    PyObject* mean = nullptr;
    PyTypeObject* deque = nullptr;
};
MeanSeen mean_seen;


// Whether numpy's own mean (the one its fromnumeric module defines) and
// the C deque type are bound; a stand-in bound before the module was
// imported (a fake numpy, a replaced numpy.mean or deque) keeps the capture
// on np.mean.
void note_mean(PyObject* numpy, PyObject* deque) {

    MeanSeen& seen = mean_seen;
    // Borrowed look-ups that run no Python code and set no error.
    if (numpy == nullptr || !PyModule_Check(numpy)) {
        return;
    }
    PyObject* mean = PyDict_GetItemString(PyModule_GetDict(numpy), "mean");
    PyObject* modules = PyImport_GetModuleDict();
    PyObject* defining = PyDict_GetItemString(modules, "numpy._core.fromnumeric");
    if (defining == nullptr) {
        defining = PyDict_GetItemString(modules, "numpy.core.fromnumeric");  // numpy 1
    }
    PyObject* defined = defining != nullptr && PyModule_Check(defining)
                            ? PyDict_GetItemString(PyModule_GetDict(defining), "mean")
                            : nullptr;
    // The deque is the one _collections defines (a heap type from 3.12 on,
    // so no type flag tells it from a Python class).
    PyObject* collections_c = PyDict_GetItemString(modules, "_collections");
    PyObject* c_deque = collections_c != nullptr && PyModule_Check(collections_c)
                            ? PyDict_GetItemString(PyModule_GetDict(collections_c), "deque")
                            : nullptr;
    const bool deque_is_c_type = deque != nullptr && deque == c_deque && PyType_Check(deque);
    if (mean == nullptr || mean != defined || !deque_is_c_type) {
        return;
    }
    Py_INCREF(numpy);
    Py_XSETREF(seen.numpy, numpy);
    Py_INCREF(mean);
    Py_XSETREF(seen.mean, mean);
    Py_INCREF(deque);
    Py_XSETREF(seen.deque, reinterpret_cast<PyTypeObject*>(deque));
}

}  // namespace

void imports_bound(PyObject* np, PyObject* deque) {
    if (numpy_c_api_matches(np)) {
        note_mean(np, deque);
    }
}

namespace detail {

NumpySeen numpy_seen;

bool attributes_unchanged(uint64_t version) {
    NumpySeen& seen = numpy_seen;
    // Something in numpy's namespace changed (a submodule loaded lazily,
    // or a host's patch): confirm the attributes one by one.
    for (int i = 0; i < 5; ++i) {
        // Exact interned str keys: the look-up runs no Python code.
        if (PyDict_GetItemWithError(seen.dict, frame_attributes[i]->get()) != seen.attributes[i]) {
            PyErr_Clear();
            return false;
        }
    }
    seen.dict_version = version;
    return true;
}

}  // namespace detail

// The context the frame path can extend directly: an exact ndarray, a
// C-contiguous, aligned, native-order float32 row of shape (1, k).
bool plain_row(PyObject* ctx) {
    if (!PyArray_CheckExact(ctx)) {
        return false;
    }
    auto* a = reinterpret_cast<PyArrayObject*>(ctx);
    return PyArray_NDIM(a) == 2 && PyArray_DIM(a, 0) == 1 && PyArray_TYPE(a) == NPY_FLOAT32 &&
           PyArray_ISNOTSWAPPED(a) && PyArray_IS_C_CONTIGUOUS(a) && PyArray_ISALIGNED(a);
}

// x = np.concatenate((ctx, frombuffer(pcm, int16).astype(float32)[newaxis, :] / 32768.0), axis=1),
// its view x[:, -64:] and the copy x.astype(np.float32), in one pass: what
// the steps of lines 28 to 36 make of a plain row, to the bit.
Status frame_arrays(PyObject* ctx, PyObject* pcm_bytes, Owned& x, Owned& context, Owned& input) {
    auto* row = reinterpret_cast<PyArrayObject*>(ctx);
    const npy_intp k = PyArray_DIM(row, 1);
    const npy_intp n = PyBytes_GET_SIZE(pcm_bytes) / 2;
    npy_intp dims[2] = {1, k + n};
    x = Owned::steal(PyArray_SimpleNew(2, dims, NPY_FLOAT32));
    CHECK(x);
    input = Owned::steal(PyArray_SimpleNew(2, dims, NPY_FLOAT32));
    CHECK(input);
    auto* xa = reinterpret_cast<PyArrayObject*>(x.get());
    float* out = static_cast<float*>(PyArray_DATA(xa));
    float* copy = static_cast<float*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(input.get())));
    const float* previous = static_cast<const float*>(PyArray_DATA(row));
    for (npy_intp i = 0; i < k; ++i) {
        out[i] = copy[i] = previous[i];
    }
    const char* samples = PyBytes_AS_STRING(pcm_bytes);
    for (npy_intp j = 0; j < n; ++j) {
        int16_t sample;
        std::memcpy(&sample, samples + 2 * j, sizeof sample);  // machine order, as frombuffer
        out[k + j] = copy[k + j] = static_cast<float>(sample) / 32768.0f;
    }
    // x[:, -64:]: the last (at most) 64 columns, sharing x's memory.
    npy_intp view_dims[2] = {1, k + n < 64 ? k + n : 64};
    PyArray_Descr* descr = PyArray_DESCR(xa);
    Py_INCREF(descr);
    context = Owned::steal(PyArray_NewFromDescr(
        &PyArray_Type, descr, 2, view_dims, PyArray_STRIDES(xa), out + (k + n - view_dims[1]),
        NPY_ARRAY_WRITEABLE, nullptr));
    CHECK(context);
    CHECK(status(PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(context.get()),
                                       Owned::ref(x.get()).release())));
    return ok;
}

// float(prob). numpy's float() of an array with one element but more than
// zero dimensions (the model's (1, 1) output) warns on every frame that it
// will become an error; converting the element gives the same value
// without it. Anything else (a plain float, an array of several elements,
// a subclass with a conversion of its own) goes through float() as ever.
Owned to_float(PyObject* prob) {
    if (numpy_seen.c_api && PyArray_Check(prob) &&
        Py_TYPE(prob)->tp_as_number != nullptr &&
        Py_TYPE(prob)->tp_as_number->nb_float == PyArray_Type.tp_as_number->nb_float) {
        auto* a = reinterpret_cast<PyArrayObject*>(prob);
        if (PyArray_SIZE(a) == 1) {
            LET(element, Owned::steal(PyArray_GETITEM(a, static_cast<char*>(PyArray_DATA(a)))));
            return Owned::steal(PyNumber_Float(element.get()));
        }
    }
    return Owned::steal(PyNumber_Float(prob));
}

bool window_mean_here(PyObject* np, PyObject* mean, PyObject* window, double* value) {
    const MeanSeen& seen = mean_seen;
    return np == seen.numpy && mean == seen.mean && seen.mean != nullptr &&
           numpy_mean_of_floats(window, seen.deque, value);
}

}  // namespace manage::numpy_fast
