// VoiceVD: the speech-probability detector. Runs the model once per frame
// and carries the model's recurrent state and the last 64 samples of the
// previous input from one frame to the next.
//
// The frame's arrays are built with numpy's C API in one pass while `np` is
// the numpy the module imported and the context is a plain float32 row;
// in every other case the steps run one by one through whatever `np` and
// `ctx` are, so a host that replaces either sees the calls it expects.
#include <Python.h>

#include "exit_guard.hpp"
#include "module_classes.hpp"
#include "numpy_fast_paths.hpp"
#include "runtime/body.hpp"

namespace {

using namespace rt;

// The module globals this unit uses, looked up at each use.
namespace g {
const Global os{"os"}, np{"np"}, ort{"ort"};
}  // namespace g

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
    return manage::numpy_fast::to_float(prob.get());
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
    if (!manage::numpy_fast::untouched(np.get()) || PyBytes_GET_SIZE(pcm_bytes) % 2 != 0) {
        return frame_step_by_step(here, self, pcm_bytes, Owned());
    }
    // The steps of lines 28 and 29 on genuine numpy run no Python code, so
    // the context may be read first.
    LINE(31);
    LET(ctx, getattr(self, ctx_name));
    if (!manage::numpy_fast::plain_row(ctx.get())) {
        return frame_step_by_step(here, self, pcm_bytes, std::move(ctx));
    }
    Owned x, context, input;
    CHECK(manage::numpy_fast::frame_arrays(ctx.get(), pcm_bytes, x, context, input));
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

const ClassSpec VoiceVD_class{
    "VoiceVD", 13,
    {init_row, reset_row, call_row},
    {"cache_dir", "asr_model_dir", "model_path", "sess", "state", "ctx", "sr"},
};

}  // namespace manage
