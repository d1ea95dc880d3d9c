#include "exit_guard.hpp"

#include <pythread.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <system_error>

#include "runtime/error.hpp"

namespace manage {
namespace {

// How long the exit hook waits for a run to end. A real run takes a
// fraction of a 32 ms frame; a run that takes longer than this is left to
// the interpreter as before.
constexpr auto kLongestWait = std::chrono::seconds(2);

// Process-wide and never destroyed: a daemon thread may still use them
// while the process ends, after static destructors would have run.
struct Gate {
    std::atomic<int> inside{0};
    std::atomic<bool> closing{false};
    std::atomic<unsigned long> closing_thread{0};
    std::mutex mutex;
    std::condition_variable left;
};
Gate& gate() {
    static Gate* const the_gate = new Gate();
    return *the_gate;
}

bool installed = false;

[[noreturn]] void park_for_good() {
    // The thread state stays with the interpreter, which frees it while it
    // finalizes; this thread never looks at it again.
    PyEval_SaveThread();
    for (;;) {
        pause();
    }
}

// The atexit callback: closes the gate, then lets the threads inside the
// run finish it. Runs with the GIL, which it gives up while it waits.
PyObject* close_model_runs(PyObject*, PyObject*) {
    Gate& g = gate();
    g.closing_thread.store(PyThread_get_thread_ident());
    g.closing.store(true);
    Py_BEGIN_ALLOW_THREADS
    // No C++ exception may reach the interpreter; a lock that fails only
    // skips the wait, and the exit goes on as it would without the gate.
    try {
        std::unique_lock<std::mutex> lock(g.mutex);
        g.left.wait_for(lock, kLongestWait, [&g] { return g.inside.load() == 0; });
    } catch (std::system_error&) {
    }
    Py_END_ALLOW_THREADS
    Py_RETURN_NONE;
}

PyMethodDef close_model_runs_def = {"close_model_runs", close_model_runs, METH_NOARGS, nullptr};

}  // namespace

namespace exit_guard {

void install() {
    if (installed) {
        return;
    }
    rt::Owned hook = rt::own(PyCFunction_New(&close_model_runs_def, nullptr));
    rt::Owned atexit = rt::own(PyImport_ImportModule("atexit"));
    rt::Owned registered = rt::own(PyObject_CallMethod(atexit.get(), "register", "O", hook.get()));
    installed = true;
}

}  // namespace exit_guard

ModelRun::ModelRun() {
    Gate& g = gate();
    // The GIL orders this test against the exit hook, which closes the gate
    // while holding it.
    if (g.closing.load() && g.closing_thread.load() != PyThread_get_thread_ident()) {
        park_for_good();
    }
    g.inside.fetch_add(1);
}

ModelRun::~ModelRun() {
    Gate& g = gate();
    if (g.inside.fetch_sub(1) == 1 && g.closing.load()) {
        std::lock_guard<std::mutex> lock(g.mutex);
        g.left.notify_all();
    }
}

}  // namespace manage
