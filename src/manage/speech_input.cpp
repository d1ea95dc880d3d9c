// Input: captures one utterance and returns what the host's recognition
// model makes of it.
#include "classes.hpp"
#include "pending.hpp"

namespace manage {

using namespace rt;

const ClassSpec Input_class{
    "Input", 157,
    {
        method<PENDING(158, 4)>("__init__", 158,
                                {self_param, param("asr_model"),
                                 param("sld").exactly(Exact::int_).annotated("int").defaults_to(1),
                                 param("max_time").exactly(Exact::int_).annotated("int").defaults_to(3)}),
        method<PENDING(168, 1)>("_init", 168, {self_param}).returns("None"),
        method<PENDING(174, 1)>("_recognize", 174, {self_param})
            .returns("Optional[str]")
            .locals({"audio_data", "text", "recognized_text", "e"}),
        method<PENDING(193, 1)>("_reset", 193, {self_param}).returns("None"),
    },
};

}  // namespace manage
