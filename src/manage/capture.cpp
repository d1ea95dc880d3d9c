// RecVoice (blocking capture with end-of-speech detection) and RecVoice_T
// (the same capture on a background thread).
#include "classes.hpp"
#include "pending.hpp"

namespace manage {

using namespace rt;

const ClassSpec RecVoice_class{
    "RecVoice", 43,
    {
        method<PENDING(44, 4)>("__init__", 44,
                               {self_param,
                                param("sld").exactly(Exact::int_).annotated("int").defaults_to(4),
                                param("max_time").exactly(Exact::int_).annotated("int").defaults_to(5),
                                param("device_index").exactly(Exact::int_).or_none().annotated("int")
                                    .defaults_to_none()}),
        method<PENDING(70, 1)>("vad_audio", 70, {self_param})
            .locals({"frames", "speech_detected", "last_speech_time", "frame", "p", "prob_avg",
                     "is_speech", "now", "audio_np"}),
        method<PENDING(109, 1)>("record_audio", 109, {self_param}),
    },
};

const ClassSpec RecVoice_T_class{
    "RecVoice_T", 113,
    {
        method_collecting<PENDING(114, 3)>("__init__", 114).uses_super(),
        method<PENDING(119, 1)>("start_recording", 119, {self_param}),
        method<PENDING(124, 1)>("_record_audio_thread", 124, {self_param}),
        method<PENDING(127, 1)>("stop_recording", 127, {self_param}),
        method<PENDING(131, 1)>("get_audio", 131, {self_param}),
    },
    &g::RecVoice,
};

}  // namespace manage
