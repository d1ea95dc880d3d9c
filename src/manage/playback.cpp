// AudioPlayer: plays one buffer and waits for its end.
#include "classes.hpp"
#include "pending.hpp"

namespace manage {

const rt::ClassSpec AudioPlayer_class = {
    "AudioPlayer",
    rt::Name::AudioPlayer,
    136,
    {
        {"AudioPlayer", "__init__", 137, {{"self"}}, {}, {}, {},
         PENDING_BODY(137, "AudioPlayer.__init__")},
        {"AudioPlayer", "play_audio", 140, {{"audio_data", rt::Exact::bytes}}, {},
         {{"audio_data", "bytes"}, {"return", "None"}}, {"wave_obj", "play_obj", "e"},
         PENDING_BODY(140, "AudioPlayer.play_audio"), true},
    },
};

}  // namespace manage
