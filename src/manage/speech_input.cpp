// Input: captures one utterance and returns what the host's recognition
// model makes of it.
#include "classes.hpp"
#include "pending.hpp"

namespace manage {

using rt::Exact;

const rt::ClassSpec Input_class = {
    "Input",
    rt::Name::Input,
    157,
    {
        {"Input", "__init__", 158,
         {{"self"}, {"asr_model"}, {"sld", Exact::int_}, {"max_time", Exact::int_}},
         {rt::default_int(1), rt::default_int(3)},
         {{"sld", "int"}, {"max_time", "int"}},
         {},
         PENDING_BODY(158, "Input.__init__")},
        {"Input", "_init", 168, {{"self"}}, {}, {{"return", "None"}}, {},
         PENDING_BODY(168, "Input._init")},
        {"Input", "_recognize", 174, {{"self"}}, {}, {{"return", "Optional[str]"}},
         {"audio_data", "text", "recognized_text", "e"},
         PENDING_BODY(174, "Input._recognize")},
        {"Input", "_reset", 193, {{"self"}}, {}, {{"return", "None"}}, {},
         PENDING_BODY(193, "Input._reset")},
    },
};

}  // namespace manage
