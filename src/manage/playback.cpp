// AudioPlayer: plays one buffer and waits for its end.
#include "module_classes.hpp"
#include "runtime/body.hpp"

namespace {

using namespace rt;

// The module globals this unit uses, looked up at each use.
namespace g {
const Global sa{"sa"}, Exception{"Exception"};
}  // namespace g

const Constant WaveObject_name{"WaveObject"}, play_name{"play"}, wait_done_name{"wait_done"};
const Constant kw_wave_format{
    [] { return Py_BuildValue("(sss)", "num_channels", "bytes_per_sample", "sample_rate"); }};
const Constant one{[] { return PyLong_FromLong(1); }};
const Constant two{[] { return PyLong_FromLong(2); }};
const Constant rate_48k{[] { return PyLong_FromLong(48000); }};

Owned AudioPlayer___init__(Here& here, PyObject* /*self*/) {
    LINE(138);
    return Owned::ref(Py_None);
}
const MethodSpec init_row = method<AudioPlayer___init__>("__init__", 137, {self_param});

// May run arbitrary Python code: the playback module is whatever the global
// `sa` names, and waiting for the end releases the GIL.
Owned AudioPlayer_play_audio(Here& here, PyObject* audio_data) {
    Status played = try_except(
        here, g::Exception, 153,
        [&]() -> Status {
            LINE(145);
            LET(sa, global(here, g::sa));
            LET(wave_object_type, getattr(sa.get(), WaveObject_name));
            LET(wave_obj, call_kw(wave_object_type.get(), kw_wave_format, audio_data, one.get(),
                                  two.get(), rate_48k.get()));
            LINE(151);
            LET(play_obj, call_method(wave_obj.get(), play_name));
            LINE(152);
            CHECK(call_method(play_obj.get(), wait_done_name));
            return ok;
        },
        [&](PyObject* e) -> Status {
            // The only failure line that is not flushed at once.
            LINE(154);
            return print_failure(nullptr, e, false);
        });
    CHECK(played);
    return Owned::ref(Py_None);
}
const MethodSpec play_audio_row =
    method<AudioPlayer_play_audio>("play_audio", 140,
                                   {param("audio_data").exactly(Exact::bytes).annotated("bytes")})
        .returns("None")
        .locals({"wave_obj", "play_obj", "e"})
        .static_method();

}  // namespace

namespace manage {

const ClassSpec AudioPlayer_class{
    "AudioPlayer", 136,
    {init_row, play_audio_row},
};

}  // namespace manage
