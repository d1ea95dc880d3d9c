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
// Returns whether `numpy` is the numpy whose C API the module was built
// against.
bool VoiceVD_numpy_imported(PyObject* numpy);

// Called by the exec step once `np` and `deque` are bound, with `numpy` null
// unless VoiceVD_numpy_imported found it genuine: the capture loop computes
// the window's mean itself while they are still these. Never fails.
void RecVoice_imports_seen(PyObject* numpy, PyObject* deque);

}  // namespace manage
