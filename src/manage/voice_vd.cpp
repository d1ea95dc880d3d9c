// VoiceVD: the speech-probability detector. Runs the model once per frame
// and carries the model's recurrent state and the last 64 samples of the
// previous input from one frame to the next.
//
// The frame's arrays are built with numpy's C API in one pass while `np` is
// the numpy the module imported and the context is a plain float32 row;
// in every other case the steps run one by one through whatever `np` and
// `ctx` are, so a host that replaces either sees the calls it expects.
#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL cantorel_manage_ARRAY_API
#include <Python.h>
#include <numpy/arrayobject.h>
#include <numpy/arrayscalars.h>

#include <cstdint>
#include <cstring>

#include "classes.hpp"
#include "runtime/body.hpp"
#include "exit_guard.hpp"

namespace {

using namespace rt;

const Constant cache_dir_name{"cache_dir"}, asr_model_dir_name{"asr_model_dir"},
    model_path_name{"model_path"}, sess_name{"sess"}, state_name{"state"}, ctx_name{"ctx"},
    sr_name{"sr"}, path_name{"path"}, expanduser_name{"expanduser"}, join_name{"join"},
    InferenceSession_name{"InferenceSession"}, zeros_name{"zeros"}, float32_name{"float32"},
    int64_name{"int64"}, int16_name{"int16"}, array_name{"array"},
    frombuffer_name{"frombuffer"}, astype_name{"astype"}, newaxis_name{"newaxis"},
    concatenate_name{"concatenate"}, run_name{"run"}, fill_name{"fill"}, input_name{"input"},
    home_cache{"~/.cache"}, model_dir_name{"sonvale"}, model_file_name{"voicevd.pt"},
    cpu_provider{"CPUExecutionProvider"}, SessionOptions_name{"SessionOptions"},
    intra_op_threads_name{"intra_op_num_threads"}, inter_op_threads_name{"inter_op_num_threads"},
    add_config_entry_name{"add_session_config_entry"},
    allow_spinning_key{"session.intra_op.allow_spinning"}, off_value{"0"};

const Constant kw_dtype{[] { return Py_BuildValue("(s)", "dtype"); }};
const Constant kw_axis{[] { return Py_BuildValue("(s)", "axis"); }};
const Constant kw_providers{[] { return Py_BuildValue("(s)", "providers"); }};
const Constant kw_options_providers{[] {
    return Py_BuildValue("(ss)", "sess_options", "providers");
}};
const Constant zero{[] { return PyLong_FromLong(0); }};
const Constant one{[] { return PyLong_FromLong(1); }};
const Constant sample_rate{[] { return PyLong_FromLong(16000); }};
const Constant full_scale{[] { return PyFloat_FromDouble(32768.0); }};
const Constant state_shape{[] { return Py_BuildValue("(iii)", 2, 1, 128); }};
const Constant context_shape{[] { return Py_BuildValue("(ii)", 1, 64); }};
const Constant all_columns{[] { return PySlice_New(nullptr, nullptr, nullptr); }};
// [:, -64:]
const Constant last_64_columns{[] {
    Owned tail = Owned::steal(Py_BuildValue("i", -64));
    Owned slice = tail ? Owned::steal(PySlice_New(tail.get(), nullptr, nullptr)) : Owned();
    Owned all = Owned::steal(PySlice_New(nullptr, nullptr, nullptr));
    return slice && all ? PyTuple_Pack(2, all.get(), slice.get()) : nullptr;
}};

// ------------------------------------------------------------ numpy's C API

// What the exec step saw of numpy, for the frame path. Process-wide, never
// freed (the module keeps numpy for the life of the process anyway).
struct NumpySeen {
    bool c_api = false;               // the C API imported and matching the module
    PyObject* module = nullptr;       // the module `np` was bound to
    PyObject* dict = nullptr;         // its namespace
    uint64_t dict_version = 0;        // when the attributes below were last confirmed
    PyObject* attributes[5] = {};     // frombuffer, int16, float32, newaxis, concatenate
};
NumpySeen numpy_seen;

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

// Whether `np` is the numpy seen at import, with the attributes the frame's
// steps use unchanged; the module's dict version makes the usual case two
// comparisons. Runs no Python code.
bool numpy_untouched(PyObject* np) {
    NumpySeen& seen = numpy_seen;
    if (!seen.c_api || np != seen.module) {
        return false;
    }
    const uint64_t version = compat::dict_version(seen.dict);
    if (version == seen.dict_version) {
        return true;
    }
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

// os.path.<function>(args...)
template <typename... Args>
Owned os_path(const Here& here, const Constant& function, Args... args) {
    LET(os, global(here, g::os));
    LET(path, getattr(os.get(), path_name));
    return call_method(path.get(), function, args...);
}

// getattr(ort, "SessionOptions", None), then, unless that is None,
//     options = SessionOptions()
//     options.intra_op_num_threads = 1
//     options.inter_op_num_threads = 1
//     options.add_session_config_entry("session.intra_op.allow_spinning", "0")
// The model runs once per 32 ms frame: ONNX Runtime's default thread pool
// spins between runs and at that pace never rests, a core's worth of CPU
// for a few hundred microseconds of work; one thread that sleeps between
// runs is also faster per frame. A null `options` with no error set means
// the host's `ort` has no SessionOptions. May run arbitrary Python code.
Status quiet_session_options(PyObject* ort, Owned& options) {
    Owned options_type = getattr(ort, SessionOptions_name);
    if (!options_type) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            return failure;
        }
        PyErr_Clear();
        return ok;
    }
    if (options_type.get() == Py_None) {
        return ok;
    }
    LET(made, call(options_type.get()));
    CHECK(setattr(made.get(), intra_op_threads_name, one.get()));
    CHECK(setattr(made.get(), inter_op_threads_name, one.get()));
    CHECK(call_method(made.get(), add_config_entry_name, allow_spinning_key.get(),
                      off_value.get()));
    options = std::move(made);
    return ok;
}

// np.<attribute>
Owned numpy_attr(const Here& here, const Constant& attribute) {
    LET(np, global(here, g::np));
    return getattr(np.get(), attribute);
}

// np.zeros(shape, dtype=np.float32)
Owned float32_zeros(const Here& here, PyObject* shape) {
    LET(zeros, numpy_attr(here, zeros_name));
    LET(float32, numpy_attr(here, float32_name));
    return call_kw(zeros.get(), kw_dtype, shape, float32.get());
}

Owned VoiceVD___init__(Here& here, PyObject* self) {
    LINE(15);
    {
        LET(cache_dir, os_path(here, expanduser_name, home_cache.get()));
        CHECK(setattr(self, cache_dir_name, cache_dir.get()));
    }
    LINE(16);
    {
        LET(base, getattr(self, cache_dir_name));
        LET(dir, os_path(here, join_name, base.get(), model_dir_name.get()));
        CHECK(setattr(self, asr_model_dir_name, dir.get()));
    }
    LINE(17);
    {
        LET(dir, getattr(self, asr_model_dir_name));
        LET(path, os_path(here, join_name, dir.get(), model_file_name.get()));
        CHECK(setattr(self, model_path_name, path.get()));
    }
    // self.sess = ort.InferenceSession(self.model_path, **<quiet options>,
    //                                   providers=["CPUExecutionProvider"])
    // with the options as quiet_session_options describes, passed as
    // sess_options; a host's `ort` without SessionOptions gets the call
    // without them, as before.
    LINE(18);
    {
        LET(ort, global(here, g::ort));
        LET(session_type, getattr(ort.get(), InferenceSession_name));
        LET(path, getattr(self, model_path_name));
        Owned options;
        CHECK(quiet_session_options(ort.get(), options));
        LET(providers, Owned::steal(PyList_New(1)));
        PyList_SET_ITEM(providers.get(), 0, Owned::ref(cpu_provider.get()).release());
        LET(session, options ? call_kw(session_type.get(), kw_options_providers, path.get(),
                                       options.get(), providers.get())
                             : call_kw(session_type.get(), kw_providers, path.get(),
                                       providers.get()));
        CHECK(setattr(self, sess_name, session.get()));
    }
    LINE(19);
    {
        LET(state, float32_zeros(here, state_shape.get()));
        CHECK(setattr(self, state_name, state.get()));
    }
    LINE(20);
    {
        LET(ctx, float32_zeros(here, context_shape.get()));
        CHECK(setattr(self, ctx_name, ctx.get()));
    }
    LINE(21);
    {
        LET(array, numpy_attr(here, array_name));
        LET(int64, numpy_attr(here, int64_name));
        LET(sr, call_kw(array.get(), kw_dtype, sample_rate.get(), int64.get()));
        CHECK(setattr(self, sr_name, sr.get()));
    }
    return Owned::ref(Py_None);
}
const MethodSpec init_row = method<VoiceVD___init__>("__init__", 14, {self_param});

Owned VoiceVD_reset(Here& here, PyObject* self) {
    LINE(24);
    {
        LET(state, getattr(self, state_name));
        CHECK(call_method(state.get(), fill_name, zero.get()));
    }
    LINE(25);
    {
        LET(ctx, getattr(self, ctx_name));
        CHECK(call_method(ctx.get(), fill_name, zero.get()));
    }
    return Owned::ref(Py_None);
}
const MethodSpec reset_row = method<VoiceVD_reset>("reset", 23, {self_param});

// Lines 34 to 40, from the model's inputs on. `input` is x.astype(np.float32)
// when the frame path made it already, else null.
Owned run_model(Here& here, PyObject* self, PyObject* x, Owned input) {
    LINE(34);
    LET(session, getattr(self, sess_name));
    LET(run, getattr(session.get(), run_name));
    LET(inputs, Owned::steal(PyDict_New()));
    {
        LINE(36);
        if (!input) {
            LET(float32, numpy_attr(here, float32_name));
            input = call_method(x, astype_name, float32.get());
            CHECK(input);
        }
        LINE(37);
        LET(state, getattr(self, state_name));
        LINE(38);
        LET(sr, getattr(self, sr_name));
        LINE(34);
        CHECK(status(PyDict_SetItem(inputs.get(), input_name.get(), input.get())));
        CHECK(status(PyDict_SetItem(inputs.get(), state_name.get(), state.get())));
        CHECK(status(PyDict_SetItem(inputs.get(), sr_name.get(), sr.get())));
    }
    Owned outputs;
    {
        manage::ModelRun inside;  // the interpreter's exit waits for it (exit_guard.hpp)
        outputs = call(run.get(), Py_None, inputs.get());
    }
    CHECK(outputs);
    Owned prob, new_state;
    CHECK(unpack_two(outputs.get(), prob, new_state));
    CHECK(setattr(self, state_name, new_state.get()));

    LINE(40);
    return to_float(prob.get());
}

// Lines 28 to 32 step by step, through whatever `np` and the context are.
// `ctx` is the context when line 31's read of it has happened already.
Owned frame_step_by_step(Here& here, PyObject* self, PyObject* pcm_bytes, Owned ctx) {
    LINE(28);
    Owned samples;
    {
        LET(frombuffer, numpy_attr(here, frombuffer_name));
        LET(int16, numpy_attr(here, int16_name));
        samples = call_kw(frombuffer.get(), kw_dtype, pcm_bytes, int16.get());
        CHECK(samples);
    }

    LINE(29);
    Owned wav;
    {
        LET(float32, numpy_attr(here, float32_name));
        LET(converted, call_method(samples.get(), astype_name, float32.get()));
        LET(scaled, Owned::steal(PyNumber_TrueDivide(converted.get(), full_scale.get())));
        LET(newaxis, numpy_attr(here, newaxis_name));
        LET(index, Owned::steal(PyTuple_Pack(2, newaxis.get(), all_columns.get())));
        wav = Owned::steal(PyObject_GetItem(scaled.get(), index.get()));
        CHECK(wav);
    }

    LINE(31);
    Owned x;
    {
        LET(concatenate, numpy_attr(here, concatenate_name));
        if (!ctx) {
            ctx = getattr(self, ctx_name);
            CHECK(ctx);
        }
        LET(pair, Owned::steal(PyTuple_Pack(2, ctx.get(), wav.get())));
        x = call_kw(concatenate.get(), kw_axis, pair.get(), one.get());
        CHECK(x);
    }

    LINE(32);
    {
        LET(context, Owned::steal(PyObject_GetItem(x.get(), last_64_columns.get())));
        CHECK(setattr(self, ctx_name, context.get()));
    }
    return run_model(here, self, x.get(), Owned());
}

Owned VoiceVD___call__(Here& here, PyObject* self, PyObject* pcm_bytes) {
    LINE(28);
    LET(np, global(here, g::np));
    // frombuffer fails on an odd length before anything else is read.
    if (!numpy_untouched(np.get()) || PyBytes_GET_SIZE(pcm_bytes) % 2 != 0) {
        return frame_step_by_step(here, self, pcm_bytes, Owned());
    }
    // The steps of lines 28 and 29 on genuine numpy run no Python code, so
    // the context may be read first.
    LINE(31);
    LET(ctx, getattr(self, ctx_name));
    if (!plain_row(ctx.get())) {
        return frame_step_by_step(here, self, pcm_bytes, std::move(ctx));
    }
    Owned x, context, input;
    CHECK(frame_arrays(ctx.get(), pcm_bytes, x, context, input));
    LINE(32);
    CHECK(setattr(self, ctx_name, context.get()));
    return run_model(here, self, x.get(), std::move(input));
}
const MethodSpec call_row =
    method<VoiceVD___call__>("__call__", 27,
                             {self_param, param("pcm_bytes").exactly(Exact::bytes).annotated("bytes")})
        .returns("float")
        .locals({"wav", "x", "prob"});

}  // namespace

namespace manage {

void VoiceVD_imports_bound(Imports& imports) {
    imports.genuine_numpy = numpy_c_api_matches(imports.np);
}

const ClassSpec VoiceVD_class{"VoiceVD", 13, {init_row, reset_row, call_row}};

}  // namespace manage
