#include "port/thread.h"
#include "port/thread_hook.h"

#include <atomic>

namespace Varnix::Port {

namespace {

// See failThreadCreationAfter: creations left before they fail; -1: never.
std::atomic<int> creationsBeforeFailure{-1};

}  // namespace

bool threadCreationRefusedForTests() {
    int left = creationsBeforeFailure.load();
    while (left > 0) {
        if (creationsBeforeFailure.compare_exchange_weak(left, left - 1)) return false;
    }
    return left == 0;
}

void failThreadCreationAfter(int successes) { creationsBeforeFailure = successes < 0 ? -1 : successes; }

}  // namespace Varnix::Port
