// A thread ended by pthread_exit while inside rt::entry_point, as CPython ends
// a daemon thread that wakes during finalization: the forced unwind must pass
// through (not be swallowed as an "unknown C++ exception"), and, in the
// sanitized build, without a report. Prints one line saying how the thread
// ended; exit status 0 only if the unwind passed.
#include <pthread.h>

#include <cstdio>

#include "runtime/error.hpp"

namespace {

bool returned = false;
bool unwound_past = false;

struct Frame {
    ~Frame() { unwound_past = true; }
};

void* run(void*) {
    Frame frame;
    returned = rt::entry_point("forced_unwind", [] { pthread_exit(nullptr); });
    return nullptr;
}

}  // namespace

int main() {
    pthread_t thread;
    if (pthread_create(&thread, nullptr, run, nullptr) != 0 || pthread_join(thread, nullptr) != 0) {
        std::puts("no thread");
        return 1;
    }
    const bool passed = unwound_past && !returned;
    std::puts(passed ? "unwound through entry_point" : "entry_point swallowed the unwind");
    return passed ? 0 : 1;
}
