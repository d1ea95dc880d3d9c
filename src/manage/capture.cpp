// RecVoice (blocking capture with end-of-speech detection) and RecVoice_T
// (the same capture on a background thread).
//
// The capture loop runs once per 32 ms frame next to a model run, so its
// own work is kept to attribute loads and calls: every name, keyword tuple
// and threshold is made once at import, the time tests compare plain
// doubles when the clock and the limits are the usual float and int, and
// the window's mean is computed here, as numpy computes it, while `np` and
// the window are the ones the module imported and built.
#include <climits>

#include "module_classes.hpp"
#include "numpy_fast_paths.hpp"
#include "runtime/body.hpp"
#include "runtime/function.hpp"

namespace {

using namespace rt;

// The module globals this unit uses, looked up at each use.
namespace g {
const Global time{"time"}, pyaudio{"pyaudio"}, VoiceVD{"VoiceVD"}, deque{"deque"}, np{"np"}, threading{"threading"}, RecVoice{"RecVoice"};
}  // namespace g

const Constant sld_attr{"_sld"}, max_time_record_attr{"max_time_record"},
    frame_is_append_attr{"frame_is_append"}, RATE_attr{"RATE"}, FRAME_SIZE_attr{"FRAME_SIZE"},
    FORMAT_attr{"FORMAT"}, CHANNELS_attr{"CHANNELS"}, pa_attr{"pa"}, stream_attr{"stream"},
    voicevd_attr{"voicevd"}, hist_attr{"hist"}, time_start_attr{"time_start"},
    thread_attr{"thread"}, audio_np_attr{"audio_np"};

const Constant paInt16_name{"paInt16"}, PyAudio_name{"PyAudio"}, open_name{"open"},
    read_name{"read"}, start_stream_name{"start_stream"}, stop_stream_name{"stop_stream"},
    append_name{"append"}, mean_name{"mean"}, time_name{"time"}, frombuffer_name{"frombuffer"},
    int16_name{"int16"}, join_name{"join"}, is_alive_name{"is_alive"}, start_name{"start"},
    Thread_name{"Thread"}, get_device_info_by_index_name{"get_device_info_by_index"}, record_audio_thread_name{"_record_audio_thread"},
    record_audio_name{"record_audio"}, vad_audio_name{"vad_audio"}, init_name{"__init__"};

const Constant kw_open{[] {
    return Py_BuildValue("(ssssss)", "format", "channels", "rate", "input", "frames_per_buffer",
                         "input_device_index");
}};
const Constant kw_read{[] { return Py_BuildValue("(s)", "exception_on_overflow"); }};
const Constant kw_maxlen{[] { return Py_BuildValue("(s)", "maxlen"); }};
const Constant kw_dtype{[] { return Py_BuildValue("(s)", "dtype"); }};
const Constant kw_thread{[] { return Py_BuildValue("(ss)", "target", "daemon"); }};

const Constant zero{[] { return PyLong_FromLong(0); }};
const Constant one{[] { return PyLong_FromLong(1); }};
const Constant ten{[] { return PyLong_FromLong(10); }};
const Constant frame_size{[] { return PyLong_FromLong(512); }};
const Constant sample_rate{[] { return PyLong_FromLong(16000); }};
// Smoothed probability above which a frame counts as speech: entering
// speech needs the higher one, staying in it the lower one.
constexpr double enter_value = 0.6, stay_value = 0.35;
const Constant enter_threshold{[] { return PyFloat_FromDouble(enter_value); }};
const Constant stay_threshold{[] { return PyFloat_FromDouble(stay_value); }};

// time.time()
Owned clock_now(const Here& here) {
    LET(time, global(here, g::time));
    return call_method(time.get(), time_name);
}

// `now - since > self.<limit>` (op Py_GT) or `>=` (Py_GE), evaluated as
// the interpreter does: the difference first, then the attribute, then the
// comparison and its truth.
Result<bool> elapsed_beyond(PyObject* now, PyObject* since, PyObject* self,
                            const Constant& limit, int op) {
    if (PyFloat_CheckExact(now) && PyFloat_CheckExact(since)) {
        const double elapsed = PyFloat_AS_DOUBLE(now) - PyFloat_AS_DOUBLE(since);
        LET(bound, getattr(self, limit));
        if (PyLong_CheckExact(bound.get())) {
            int overflow = 0;
            const long long whole = PyLong_AsLongLongAndOverflow(bound.get(), &overflow);
            // Exactly representable as a double, so the comparison is the
            // interpreter's exact float-int comparison.
            constexpr long long exact = 1LL << 53;
            if (overflow == 0 && whole >= -exact && whole <= exact) {
                const double limit_value = static_cast<double>(whole);
                return op == Py_GT ? elapsed > limit_value : elapsed >= limit_value;
            }
        }
        LET(difference, Owned::steal(PyFloat_FromDouble(elapsed)));
        LET(result, Owned::steal(PyObject_RichCompare(difference.get(), bound.get(), op)));
        return truth(result.get());
    }
    LET(difference, Owned::steal(PyNumber_Subtract(now, since)));
    LET(bound, getattr(self, limit));
    LET(result, Owned::steal(PyObject_RichCompare(difference.get(), bound.get(), op)));
    return truth(result.get());
}

// ------------------------------------------------------------------ RecVoice

// PyAudio's open() takes a chosen input device's description without
// checking that the device exists: an index past the last device (or one
// that wraps into range as a C int) makes it read through a null pointer and
// the process dies. So a chosen device is looked up first, with PyAudio's own
// look-up, which raises its usual OSError (or OverflowError) for a device that
// is not there. None and the negative indices, which PyAudio takes as "the
// default device", go to open() unchecked, as before.
Status check_device(PyObject* pa, PyObject* device_index) {
    if (device_index == Py_None) {
        return ok;
    }
    int overflow = 0;
    const long long index = PyLong_AsLongLongAndOverflow(device_index, &overflow);
    if (index == -1 && PyErr_Occurred()) {
        return failure;
    }
    if (overflow == 0 && index < 0 && index >= INT_MIN) {
        return ok;
    }
    LET(info, call_method(pa, get_device_info_by_index_name, device_index));
    return ok;
}

Owned RecVoice___init__(Here& here, PyObject* self, PyObject* sld, PyObject* max_time,
                        PyObject* device_index) {
    LINE(49);
    CHECK(setattr(self, sld_attr, sld));
    LINE(50);
    CHECK(setattr(self, max_time_record_attr, max_time));
    LINE(51);
    CHECK(setattr(self, frame_is_append_attr, Py_True));

    LINE(53);
    CHECK(setattr(self, RATE_attr, sample_rate.get()));
    LINE(54);
    CHECK(setattr(self, FRAME_SIZE_attr, frame_size.get()));
    LINE(55);
    {
        LET(pyaudio, global(here, g::pyaudio));
        LET(format, getattr(pyaudio.get(), paInt16_name));
        CHECK(setattr(self, FORMAT_attr, format.get()));
    }
    LINE(56);
    CHECK(setattr(self, CHANNELS_attr, one.get()));

    LINE(58);
    {
        LET(pyaudio, global(here, g::pyaudio));
        LET(pa, call_method(pyaudio.get(), PyAudio_name));
        CHECK(setattr(self, pa_attr, pa.get()));
    }
    LINE(59);
    {
        LET(pa, getattr(self, pa_attr));
        CHECK(check_device(pa.get(), device_index));
        Method open;
        CHECK(open.load(pa.get(), open_name));
        LET(format, getattr(self, FORMAT_attr));
        LINE(60);
        LET(channels, getattr(self, CHANNELS_attr));
        LINE(61);
        LET(rate, getattr(self, RATE_attr));
        LINE(63);
        LET(frames_per_buffer, getattr(self, FRAME_SIZE_attr));
        LINE(59);
        LET(stream, open.call_kw(kw_open, format.get(), channels.get(), rate.get(), Py_True,
                                 frames_per_buffer.get(), device_index));
        CHECK(setattr(self, stream_attr, stream.get()));
    }

    LINE(66);
    {
        LET(voice_vd_class, global(here, g::VoiceVD));
        LET(detector, call(voice_vd_class.get()));
        CHECK(setattr(self, voicevd_attr, detector.get()));
    }
    LINE(67);
    {
        LET(deque, global(here, g::deque));
        LET(hist, call_kw(deque.get(), kw_maxlen, ten.get()));
        CHECK(setattr(self, hist_attr, hist.get()));
    }
    LINE(68);
    CHECK(setattr(self, time_start_attr, zero.get()));
    return Owned::ref(Py_None);
}
const MethodSpec RecVoice_init_row =
    method<RecVoice___init__>("__init__", 44,
                              {self_param,
                               param("sld").exactly(Exact::int_).annotated("int").defaults_to(4),
                               param("max_time").exactly(Exact::int_).annotated("int").defaults_to(5),
                               param("device_index").exactly(Exact::int_).or_none().annotated("int")
                                   .defaults_to_none()});

// The repetition of vad_audio, the body of its try statement: reads and
// scores frames until an end test leaves it. Runs arbitrary Python code
// (the stream, the detector, the clock), which may release the GIL.
struct CaptureLoop {
    CaptureLoop(Here& here, PyObject* self, PyObject* frames)
        : here(here), self(self), frames(frames) {}

    Here& here;
    PyObject* self;
    PyObject* frames;  // the list of kept frames
    bool speech_detected = false;
    Owned last_speech_time;
    // The clock reading on the frame where speech began: max_time bounds the
    // utterance from there, however long the capture waited before it.
    Owned speech_start;

    Status run() {
        for (;;) {
            LINE(78);
            Owned frame;
            {
                LET(stream, getattr(self, stream_attr));
                Method read;
                CHECK(read.load(stream.get(), read_name));
                LET(size, getattr(self, FRAME_SIZE_attr));
                frame = read.call_kw(kw_read, size.get(), Py_False);
                CHECK(frame);
            }

            LINE(80);
            Owned p;
            {
                LET(detector, getattr(self, voicevd_attr));
                p = call(detector.get(), frame.get());
                CHECK(p);
            }
            LINE(81);
            {
                LET(hist, getattr(self, hist_attr));
                CHECK(call_method(hist.get(), append_name, p.get()));
            }
            LINE(82);
            Owned prob_avg;
            double mean_value = 0.0;
            {
                LET(np, global(here, g::np));
                LET(mean, getattr(np.get(), mean_name));
                LET(hist, getattr(self, hist_attr));
                if (!manage::numpy_fast::window_mean_here(np.get(), mean.get(), hist.get(), &mean_value)) {
                    prob_avg = call(mean.get(), hist.get());
                    CHECK(prob_avg);
                }
            }
            bool speech;
            if (!prob_avg) {
                // numpy's float64 against a float compares the two doubles.
                LINE(83);
                speech = mean_value > (speech_detected ? stay_value : enter_value);
            } else {
                LINE(83);
                LET(is_speech,
                    Owned::steal(PyObject_RichCompare(
                        prob_avg.get(), (speech_detected ? stay_threshold : enter_threshold).get(),
                        Py_GT)));
                LINE(85);
                const Result<bool> is_true = truth(is_speech.get());
                CHECK(is_true);
                speech = is_true.value();
            }
            if (speech) {
                LINE(86);
                last_speech_time = clock_now(here);
                CHECK(last_speech_time);
                speech_detected = true;
                LINE(88);
                if (speech_start.get() == Py_None) {
                    LINE(89);
                    speech_start = Owned::ref(last_speech_time.get());
                }
            }

            LINE(90);
            bool keep;
            {
                LET(flag, getattr(self, frame_is_append_attr));
                const Result<bool> is_true = truth(flag.get());
                CHECK(is_true);
                keep = is_true.value();
            }
            if (keep) {
                LINE(91);
                CHECK(status(PyList_Append(frames, frame.get())));
            }

            LINE(93);
            LET(now, clock_now(here));
            if (!speech_detected) {
                continue;  // no time limit before the first speech frame
            }
            LINE(95);
            const Result<bool> silent_too_long =
                elapsed_beyond(now.get(), last_speech_time.get(), self, sld_attr, Py_GT);
            CHECK(silent_too_long);
            if (silent_too_long.value()) {
                return ok;
            }
            LINE(98);
            const Result<bool> too_long = elapsed_beyond(now.get(), speech_start.get(), self,
                                                         max_time_record_attr, Py_GE);
            CHECK(too_long);
            if (too_long.value()) {
                return ok;
            }
        }
    }
};

Owned RecVoice_vad_audio(Here& here, PyObject* self) {
    LINE(71);
    LET(frames, Owned::steal(PyList_New(0)));
    CaptureLoop loop{here, self, frames.get()};
    LINE(73);
    loop.last_speech_time = clock_now(here);
    CHECK(loop.last_speech_time);
    LINE(74);
    {
        LET(start, clock_now(here));
        CHECK(setattr(self, time_start_attr, start.get()));
    }
    LINE(75);
    loop.speech_start = Owned::ref(Py_None);

    CHECK(try_finally(
        here, [&]() -> Status { return loop.run(); },
        [&]() -> Status {
            LINE(102);
            LET(stream, getattr(self, stream_attr));
            CHECK(call_method(stream.get(), stop_stream_name));
            return ok;
        }));

    if (PyList_GET_SIZE(frames.get()) == 0) {
        return Owned::ref(Py_None);
    }
    LINE(106);
    LET(np, global(here, g::np));
    LET(frombuffer, getattr(np.get(), frombuffer_name));
    LET(joined, call_method(process().empty_bytes, join_name, frames.get()));
    LET(np_again, global(here, g::np));
    LET(int16, getattr(np_again.get(), int16_name));
    return call_kw(frombuffer.get(), kw_dtype, joined.get(), int16.get());
}
const MethodSpec vad_audio_row =
    method<RecVoice_vad_audio>("vad_audio", 70, {self_param})
        .locals({"frames", "speech_detected", "last_speech_time", "speech_start", "frame",
                 "p", "prob_avg", "is_speech", "now", "audio_np"});

Owned RecVoice_record_audio(Here& here, PyObject* self) {
    LINE(110);
    {
        LET(stream, getattr(self, stream_attr));
        CHECK(call_method(stream.get(), start_stream_name));
    }
    LINE(111);
    return call_method(self, vad_audio_name);
}
const MethodSpec record_audio_row =
    method<RecVoice_record_audio>("record_audio", 109, {self_param});

// ---------------------------------------------------------------- RecVoice_T

Owned RecVoice_T___init__(Here& here, PyObject* self, PyObject* args, PyObject* kwargs) {
    LINE(115);
    {
        // super().__init__(*args, **kwargs), with the class this method was
        // defined in, so a subclass still reaches RecVoice.__init__ once.
        PyObject* cls = class_cell(here.function);
        if (cls == nullptr) {
            PyErr_SetString(PyExc_RuntimeError, "super(): __class__ cell not found");
            return failure;
        }
        LET(parent, call(process().builtin_super, cls, self));
        LET(init, getattr(parent.get(), init_name));
        LET(keywords, Owned::steal(PyDict_Copy(kwargs)));
        CHECK(Owned::steal(PyObject_Call(init.get(), args, keywords.get())));
    }
    LINE(116);
    CHECK(setattr(self, thread_attr, Py_None));
    LINE(117);
    CHECK(setattr(self, audio_np_attr, Py_None));
    return Owned::ref(Py_None);
}
const MethodSpec RecVoice_T_init_row =
    method_collecting<RecVoice_T___init__>("__init__", 114).uses_super();

Owned RecVoice_T_start_recording(Here& here, PyObject* self) {
    LINE(120);
    {
        LET(thread, getattr(self, thread_attr));
        if (thread.get() != Py_None) {
            LET(again, getattr(self, thread_attr));
            LET(alive, call_method(again.get(), is_alive_name));
            const Result<bool> running = truth(alive.get());
            CHECK(running);
            if (running.value()) {
                return Owned::ref(Py_None);
            }
        }
    }
    LINE(121);
    {
        LET(threading, global(here, g::threading));
        LET(thread_class, getattr(threading.get(), Thread_name));
        LET(target, getattr(self, record_audio_thread_name));
        LET(thread, call_kw(thread_class.get(), kw_thread, target.get(), Py_True));
        CHECK(setattr(self, thread_attr, thread.get()));
    }
    LINE(122);
    {
        LET(thread, getattr(self, thread_attr));
        CHECK(call_method(thread.get(), start_name));
    }
    return Owned::ref(Py_None);
}
const MethodSpec start_recording_row =
    method<RecVoice_T_start_recording>("start_recording", 119, {self_param});

Owned RecVoice_T__record_audio_thread(Here& here, PyObject* self) {
    LINE(125);
    LET(result, call_method(self, record_audio_name));
    CHECK(setattr(self, audio_np_attr, result.get()));
    return Owned::ref(Py_None);
}
const MethodSpec record_audio_thread_row =
    method<RecVoice_T__record_audio_thread>("_record_audio_thread", 124, {self_param});

Owned RecVoice_T_stop_recording(Here& here, PyObject* self) {
    LINE(128);
    {
        LET(thread, getattr(self, thread_attr));
        const Result<bool> present = truth(thread.get());
        CHECK(present);
        if (!present.value()) {
            return Owned::ref(Py_None);
        }
        LET(again, getattr(self, thread_attr));
        LET(alive, call_method(again.get(), is_alive_name));
        const Result<bool> running = truth(alive.get());
        CHECK(running);
        if (!running.value()) {
            return Owned::ref(Py_None);
        }
    }
    LINE(129);
    {
        LET(thread, getattr(self, thread_attr));
        CHECK(call_method(thread.get(), join_name));
    }
    return Owned::ref(Py_None);
}
const MethodSpec stop_recording_row =
    method<RecVoice_T_stop_recording>("stop_recording", 127, {self_param});

Owned RecVoice_T_get_audio(Here& here, PyObject* self) {
    LINE(132);
    return getattr(self, audio_np_attr);
}
const MethodSpec get_audio_row = method<RecVoice_T_get_audio>("get_audio", 131, {self_param});

}  // namespace

namespace manage {

const ClassSpec RecVoice_class{
    "RecVoice", 43,
    {RecVoice_init_row, vad_audio_row, record_audio_row},
    {"_sld", "max_time_record", "frame_is_append", "RATE", "FRAME_SIZE", "FORMAT", "CHANNELS",
     "pa", "stream", "voicevd", "hist", "time_start"},
};

const ClassSpec RecVoice_T_class{
    "RecVoice_T", 113,
    {RecVoice_T_init_row, start_recording_row, record_audio_thread_row, stop_recording_row,
     get_audio_row},
    {"thread", "audio_np"},
    &g::RecVoice,
};

}  // namespace manage
