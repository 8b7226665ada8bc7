#include "port/stopsignal.h"

#include <atomic>
#include <csignal>
#include <signal.h>

namespace Varnix::Port {

namespace {

std::atomic<bool> requested{false};
static_assert(std::atomic<bool>::is_always_lock_free, "signal handlers need a lock-free flag");

extern "C" void recordStopRequest(int) { requested.store(true); }

}  // namespace

void watchStopRequests() {
    struct sigaction action {};
    action.sa_handler = recordStopRequest;
    sigemptyset(&action.sa_mask);
    // SA_RESETHAND: the second Ctrl-C ends the process even if shutdown hangs.
    action.sa_flags = SA_RESTART | SA_RESETHAND;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

bool stopRequested() { return requested.load(); }

}  // namespace Varnix::Port
