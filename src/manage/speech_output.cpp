// Output: streamed text in, ordered speech out, through a TTS worker and a
// play worker.
#include "classes.hpp"
#include "pending.hpp"

namespace manage {

using namespace rt;

const ClassSpec Output_class{
    "Output", 197,
    {
        method<PENDING(198, 2)>("__init__", 198, {self_param, param("tts_model")}),
        method<PENDING(206, 1)>("_init_threads", 206, {self_param}).returns("None"),
        method<PENDING(220, 3)>("_splitsen", 220,
                                {param("text").exactly(Exact::str).annotated("str"),
                                 param("start").exactly(Exact::int_).annotated("int"),
                                 param("sep").exactly(Exact::str).annotated("str")
                                     .defaults_to("\xEF\xBC\x8C\xE3\x80\x82,.!?")})
            .returns("tuple[int, List[str]]")
            .locals({"text_len", "sentences", "last_pos", "i"})
            .static_method(),
        method<PENDING(234, 1)>("_tts_worker", 234, {self_param})
            .returns("None")
            .locals({"index", "text", "audio_data", "e"}),
        method<PENDING(251, 1)>("_play_worker", 251, {self_param})
            .returns("None")
            .locals({"audio_player", "audio_data", "e"}),
        method<PENDING(263, 2)>("_add_stream", 263,
                                {self_param, param("llm_stream").annotated("Generator[str, None, None]")})
            .returns("None")
            .locals({"full_response", "start_pos", "sentence_index", "chunk_text", "sentences",
                     "sentence", "remaining_text", "e"}),
        method<PENDING(287, 1)>("_wait_all", 287, {self_param}).returns("None"),
    },
};

}  // namespace manage
