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

// What the exec step hands the class units once the imports have bound
// `np` and `deque` (line 7) and before any class statement runs: the one
// route by which import-time state reaches a unit. Each hook keeps what it
// needs with references of its own and never fails.
struct Imports {
    PyObject* np;     // the global `np`, borrowed
    PyObject* deque;  // the global `deque`, borrowed
    // Whether `np` is the numpy whose C API the module was built against;
    // the detector's hook, which runs first, finds it out.
    bool genuine_numpy = false;
};

// voice_vd.cpp: the detector's frame path uses numpy's C API while `np`
// is still that numpy.
void VoiceVD_imports_bound(Imports& imports);
// window_mean.cpp: the capture loop computes the window's mean itself
// while `np`, its `mean` and `deque` are still those, and numpy genuine.
void RecVoice_imports_bound(Imports& imports);

// The hooks, in the order the exec step calls them.
inline void (*const imports_hooks[])(Imports&) = {VoiceVD_imports_bound, RecVoice_imports_bound};

}  // namespace manage
