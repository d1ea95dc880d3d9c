// Keeping the interpreter's exit away from threads inside the model run.
//
// A daemon thread that finalization finds inside onnxruntime's
// InferenceSession.run is ended there with pthread_exit; the forced unwind
// meets onnxruntime's own noexcept C++ frames and std::terminate aborts the
// whole process. So the module counts the threads inside its detector's
// run. An exit hook, registered with atexit (whose callbacks run before
// finalization begins), closes the gate and waits with the GIL released
// until no thread is inside, for at most a couple of seconds (one run takes
// well under a frame). A thread that reaches the closed gate parks there for
// good without the GIL, so finalization never meets it inside onnxruntime;
// the thread that runs the exit hook itself is never parked.
#pragma once

#include <Python.h>

namespace manage {
namespace exit_guard {

// Registers the exit hook with atexit, once per process. Import-time code:
// throws rt::PyErrorSet if it cannot be registered.
void install();

}  // namespace exit_guard

// Marks the calling thread, which holds the GIL, as inside the model run
// for as long as the object lives. Once the exit hook has closed the gate,
// the constructor does not return on any other thread: it gives up the GIL
// and sleeps until the process ends.
class ModelRun {
public:
    ModelRun();
    ~ModelRun();
    ModelRun(const ModelRun&) = delete;
    ModelRun& operator=(const ModelRun&) = delete;
};

}  // namespace manage
