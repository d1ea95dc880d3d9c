// The six classes of the module, one unit each (or one per pair).
#pragma once

#include "runtime/classes.hpp"

namespace manage {

extern const rt::ClassSpec VoiceVD_class;
extern const rt::ClassSpec RecVoice_class;
extern const rt::ClassSpec RecVoice_T_class;
extern const rt::ClassSpec AudioPlayer_class;
extern const rt::ClassSpec Input_class;
extern const rt::ClassSpec Output_class;

// Called by the exec step once `import numpy as np` has bound `np`: the
// detector's frame path uses numpy's C API while `np` is still this module.
// Never fails; without a usable C API the detector keeps to its steps.
void VoiceVD_numpy_imported(PyObject* numpy);

}  // namespace manage
