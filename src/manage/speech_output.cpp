// Output: streamed text in, ordered speech out, through a TTS worker and a
// play worker.
#include "classes.hpp"
#include "pending.hpp"

namespace manage {

using rt::Exact;

const rt::ClassSpec Output_class = {
    "Output",
    rt::Name::Output,
    197,
    {
        {"Output", "__init__", 198, {{"self"}, {"tts_model"}}, {}, {}, {},
         PENDING_BODY(198, "Output.__init__")},
        {"Output", "_init_threads", 206, {{"self"}}, {}, {{"return", "None"}}, {},
         PENDING_BODY(206, "Output._init_threads")},
        {"Output", "_splitsen", 220,
         {{"text", Exact::str}, {"start", Exact::int_}, {"sep", Exact::str}},
         {rt::default_text("\xEF\xBC\x8C\xE3\x80\x82,.!?")},
         {{"text", "str"}, {"start", "int"}, {"sep", "str"}, {"return", "tuple[int, List[str]]"}},
         {"text_len", "sentences", "last_pos", "i"},
         PENDING_BODY(220, "Output._splitsen"), true},
        {"Output", "_tts_worker", 234, {{"self"}}, {}, {{"return", "None"}},
         {"index", "text", "audio_data", "e"},
         PENDING_BODY(234, "Output._tts_worker")},
        {"Output", "_play_worker", 251, {{"self"}}, {}, {{"return", "None"}},
         {"audio_player", "audio_data", "e"},
         PENDING_BODY(251, "Output._play_worker")},
        {"Output", "_add_stream", 263, {{"self"}, {"llm_stream"}}, {},
         {{"llm_stream", "Generator[str, None, None]"}, {"return", "None"}},
         {"full_response", "start_pos", "sentence_index", "chunk_text", "sentences", "sentence",
          "remaining_text", "e"},
         PENDING_BODY(263, "Output._add_stream")},
        {"Output", "_wait_all", 287, {{"self"}}, {}, {{"return", "None"}}, {},
         PENDING_BODY(287, "Output._wait_all")},
    },
};

}  // namespace manage
