// VoiceVD: the speech-probability detector. Runs the model once per frame
// and carries the model's recurrent state and the last 64 samples of the
// previous input from one frame to the next.
#include "classes.hpp"
#include "runtime/globals.hpp"
#include "runtime/ops.hpp"

namespace {

using namespace rt;

// os.path.<function>(args...)
template <typename... Args>
Owned os_path(const Here& here, Name function, Args... args) {
    Owned os = global(here, Name::os);
    Owned path = getattr(os.get(), Name::path);
    return call_method(path.get(), function, args...);
}

// np.<dtype>
Owned numpy_type(const Here& here, Name dtype) {
    Owned np = global(here, Name::np);
    return getattr(np.get(), dtype);
}

// np.zeros(shape, dtype=np.float32)
Owned float32_zeros(const Here& here, PyObject* shape) {
    Owned np = global(here, Name::np);
    Owned zeros = getattr(np.get(), Name::zeros);
    Owned float32 = numpy_type(here, Name::float32);
    return call_with_keywords(zeros.get(), process().kw_dtype, shape, float32.get());
}

PyObject* VoiceVD___init___impl(Here& here, PyObject* self) {
    Process& p = process();

    LINE(15);
    Owned cache_dir = os_path(here, Name::expanduser, name(Name::home_cache));
    setattr(self, Name::cache_dir, cache_dir.get());

    LINE(16);
    {
        Owned base = getattr(self, Name::cache_dir);
        Owned dir = os_path(here, Name::join, base.get(), name(Name::model_dir_name));
        setattr(self, Name::asr_model_dir, dir.get());
    }

    LINE(17);
    {
        Owned dir = getattr(self, Name::asr_model_dir);
        Owned path = os_path(here, Name::join, dir.get(), name(Name::model_file_name));
        setattr(self, Name::model_path, path.get());
    }

    LINE(18);
    {
        Owned ort = global(here, Name::ort);
        Owned session_type = getattr(ort.get(), Name::InferenceSession);
        Owned path = getattr(self, Name::model_path);
        Owned providers = own(PyList_New(1));
        PyList_SET_ITEM(providers.get(), 0, Owned::ref(name(Name::cpu_provider)).release());
        Owned session = call_with_keywords(session_type.get(), p.kw_providers, path.get(),
                                           providers.get());
        setattr(self, Name::sess, session.get());
    }

    LINE(19);
    setattr(self, Name::state, float32_zeros(here, p.state_shape).get());

    LINE(20);
    setattr(self, Name::ctx, float32_zeros(here, p.context_shape).get());

    LINE(21);
    {
        Owned np = global(here, Name::np);
        Owned array = getattr(np.get(), Name::array);
        Owned int64 = numpy_type(here, Name::int64);
        Owned sr = call_with_keywords(array.get(), p.kw_dtype, p.number.i16000, int64.get());
        setattr(self, Name::sr, sr.get());
    }
    Py_RETURN_NONE;
}

PyObject* VoiceVD_reset_impl(Here& here, PyObject* self) {
    LINE(24);
    {
        Owned state = getattr(self, Name::state);
        call_method(state.get(), Name::fill, process().number.i0);
    }
    LINE(25);
    {
        Owned ctx = getattr(self, Name::ctx);
        call_method(ctx.get(), Name::fill, process().number.i0);
    }
    Py_RETURN_NONE;
}

PyObject* VoiceVD___call___impl(Here& here, PyObject* self, PyObject* pcm_bytes) {
    Process& p = process();

    LINE(28);
    Owned samples;
    {
        Owned np = global(here, Name::np);
        Owned frombuffer = getattr(np.get(), Name::frombuffer);
        Owned int16 = numpy_type(here, Name::int16);
        samples = call_with_keywords(frombuffer.get(), p.kw_dtype, pcm_bytes, int16.get());
    }

    LINE(29);
    Owned wav;
    {
        Owned float32 = numpy_type(here, Name::float32);
        Owned converted = call_method(samples.get(), Name::astype, float32.get());
        Owned scaled = own(PyNumber_TrueDivide(converted.get(), p.number.f32768));
        Owned newaxis = numpy_type(here, Name::newaxis);
        Owned index = own(PyTuple_Pack(2, newaxis.get(), p.all_columns));
        wav = own(PyObject_GetItem(scaled.get(), index.get()));
    }

    LINE(31);
    Owned x;
    {
        Owned np = global(here, Name::np);
        Owned concatenate = getattr(np.get(), Name::concatenate);
        Owned ctx = getattr(self, Name::ctx);
        Owned pair = own(PyTuple_Pack(2, ctx.get(), wav.get()));
        x = call_with_keywords(concatenate.get(), p.kw_axis, pair.get(), p.number.i1);
    }

    LINE(32);
    {
        Owned context = own(PyObject_GetItem(x.get(), p.last_64_columns));
        setattr(self, Name::ctx, context.get());
    }

    LINE(34);
    Owned session = getattr(self, Name::sess);
    Owned run = getattr(session.get(), Name::run);
    Owned inputs = own(PyDict_New());
    {
        LINE(36);
        Owned float32 = numpy_type(here, Name::float32);
        Owned input = call_method(x.get(), Name::astype, float32.get());
        LINE(37);
        Owned state = getattr(self, Name::state);
        LINE(38);
        Owned sr = getattr(self, Name::sr);
        LINE(34);
        require(PyDict_SetItem(inputs.get(), name(Name::input), input.get()));
        require(PyDict_SetItem(inputs.get(), name(Name::state), state.get()));
        require(PyDict_SetItem(inputs.get(), name(Name::sr), sr.get()));
    }
    Owned outputs = call(run.get(), Py_None, inputs.get());
    Owned prob, new_state;
    unpack_two(outputs.get(), prob, new_state);
    setattr(self, Name::state, new_state.get());

    LINE(40);
    return own(PyNumber_Float(prob.get())).release();
}

}  // namespace

namespace manage {

const ClassSpec VoiceVD_class = {
    "VoiceVD",
    Name::VoiceVD,
    13,
    {
        {"VoiceVD", "__init__", 14, {{"self"}}, {}, {}, {},
         [](Here& here, PyObject* const* arg, PyObject*) {
             return VoiceVD___init___impl(here, arg[0]);
         }},
        {"VoiceVD", "reset", 23, {{"self"}}, {}, {}, {},
         [](Here& here, PyObject* const* arg, PyObject*) {
             return VoiceVD_reset_impl(here, arg[0]);
         }},
        {"VoiceVD", "__call__", 27, {{"self"}, {"pcm_bytes", Exact::bytes}}, {},
         {{"pcm_bytes", "bytes"}, {"return", "float"}}, {"wav", "x", "prob"},
         [](Here& here, PyObject* const* arg, PyObject*) {
             return VoiceVD___call___impl(here, arg[0], arg[1]);
         }},
    },
};

}  // namespace manage
