// The six classes of the module, one unit each (or one per pair), as the
// exec step creates them in this order.
#pragma once

#include "runtime/class_statement.hpp"

namespace manage {

extern const rt::ClassSpec VoiceVD_class;
extern const rt::ClassSpec RecVoice_class;
extern const rt::ClassSpec RecVoice_T_class;
extern const rt::ClassSpec AudioPlayer_class;
extern const rt::ClassSpec Input_class;
extern const rt::ClassSpec Output_class;

}  // namespace manage
