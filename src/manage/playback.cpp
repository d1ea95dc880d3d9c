// AudioPlayer: plays one buffer and waits for its end.
#include "classes.hpp"
#include "pending.hpp"

namespace manage {

using namespace rt;

const ClassSpec AudioPlayer_class{
    "AudioPlayer", 136,
    {
        method<PENDING(137, 1)>("__init__", 137, {self_param}),
        method<PENDING(140, 1)>("play_audio", 140,
                                {param("audio_data").exactly(Exact::bytes).annotated("bytes")})
            .returns("None")
            .locals({"wave_obj", "play_obj", "e"})
            .static_method(),
    },
};

}  // namespace manage
