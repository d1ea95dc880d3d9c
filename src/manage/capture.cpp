// RecVoice (blocking capture with end-of-speech detection) and RecVoice_T
// (the same capture on a background thread).
#include "classes.hpp"
#include "pending.hpp"

namespace manage {

using rt::Exact;

const rt::ClassSpec RecVoice_class = {
    "RecVoice",
    rt::Name::RecVoice,
    43,
    {
        {"RecVoice", "__init__", 44,
         {{"self"}, {"sld", Exact::int_}, {"max_time", Exact::int_},
          {"device_index", Exact::int_, true}},
         {rt::default_int(4), rt::default_int(5), rt::default_none()},
         {{"sld", "int"}, {"max_time", "int"}, {"device_index", "int"}},
         {},
         PENDING_BODY(44, "RecVoice.__init__")},
        {"RecVoice", "vad_audio", 70, {{"self"}}, {}, {},
         {"frames", "speech_detected", "last_speech_time", "frame", "p", "prob_avg", "is_speech",
          "now", "audio_np"},
         PENDING_BODY(70, "RecVoice.vad_audio")},
        {"RecVoice", "record_audio", 109, {{"self"}}, {}, {}, {},
         PENDING_BODY(109, "RecVoice.record_audio")},
    },
};

const rt::ClassSpec RecVoice_T_class = {
    "RecVoice_T",
    rt::Name::RecVoice_T,
    113,
    {
        {"RecVoice_T", "__init__", 114, {{"self"}}, {}, {}, {},
         PENDING_BODY(114, "RecVoice_T.__init__"), false, true, true},
        {"RecVoice_T", "start_recording", 119, {{"self"}}, {}, {}, {},
         PENDING_BODY(119, "RecVoice_T.start_recording")},
        {"RecVoice_T", "_record_audio_thread", 124, {{"self"}}, {}, {}, {},
         PENDING_BODY(124, "RecVoice_T._record_audio_thread")},
        {"RecVoice_T", "stop_recording", 127, {{"self"}}, {}, {}, {},
         PENDING_BODY(127, "RecVoice_T.stop_recording")},
        {"RecVoice_T", "get_audio", 131, {{"self"}}, {}, {}, {},
         PENDING_BODY(131, "RecVoice_T.get_audio")},
    },
    true,
    rt::Name::RecVoice,
};

}  // namespace manage
