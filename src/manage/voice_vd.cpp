// VoiceVD: the speech-probability detector. Runs the model once per frame
// and carries the model's recurrent state and the last 64 samples of the
// previous input from one frame to the next.
#include "classes.hpp"
#include "runtime/body.hpp"
#include "runtime/exit_guard.hpp"

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
    cpu_provider{"CPUExecutionProvider"};

const Constant kw_dtype{[] { return Py_BuildValue("(s)", "dtype"); }};
const Constant kw_axis{[] { return Py_BuildValue("(s)", "axis"); }};
const Constant kw_providers{[] { return Py_BuildValue("(s)", "providers"); }};
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
    LINE(18);
    {
        LET(ort, global(here, g::ort));
        LET(session_type, getattr(ort.get(), InferenceSession_name));
        LET(path, getattr(self, model_path_name));
        LET(providers, Owned::steal(PyList_New(1)));
        PyList_SET_ITEM(providers.get(), 0, Owned::ref(cpu_provider.get()).release());
        LET(session, call_kw(session_type.get(), kw_providers, path.get(), providers.get()));
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

Owned VoiceVD___call__(Here& here, PyObject* self, PyObject* pcm_bytes) {
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
        LET(ctx, getattr(self, ctx_name));
        LET(pair, Owned::steal(PyTuple_Pack(2, ctx.get(), wav.get())));
        x = call_kw(concatenate.get(), kw_axis, pair.get(), one.get());
        CHECK(x);
    }

    LINE(32);
    {
        LET(context, Owned::steal(PyObject_GetItem(x.get(), last_64_columns.get())));
        CHECK(setattr(self, ctx_name, context.get()));
    }

    LINE(34);
    LET(session, getattr(self, sess_name));
    LET(run, getattr(session.get(), run_name));
    LET(inputs, Owned::steal(PyDict_New()));
    {
        LINE(36);
        LET(float32, numpy_attr(here, float32_name));
        LET(input, call_method(x.get(), astype_name, float32.get()));
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
        ModelRun inside;  // the interpreter's exit waits for it (runtime/exit_guard.hpp)
        outputs = call(run.get(), Py_None, inputs.get());
    }
    CHECK(outputs);
    Owned prob, new_state;
    CHECK(unpack_two(outputs.get(), prob, new_state));
    CHECK(setattr(self, state_name, new_state.get()));

    LINE(40);
    return Owned::steal(PyNumber_Float(prob.get()));
}

}  // namespace

namespace manage {

const ClassSpec VoiceVD_class{
    "VoiceVD", 13,
    {
        method<VoiceVD___init__>("__init__", 14, {self_param}),
        method<VoiceVD_reset>("reset", 23, {self_param}),
        method<VoiceVD___call__>("__call__", 27,
                                 {self_param, param("pcm_bytes").exactly(Exact::bytes).annotated("bytes")})
            .returns("float")
            .locals({"wav", "x", "prob"}),
    },
};

}  // namespace manage
