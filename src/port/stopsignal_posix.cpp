#include "port/stopsignal.h"

#include <atomic>
#include <csignal>
#include <signal.h>

namespace Varnix::Port {

namespace {

std::atomic<int> requested{0};
static_assert(std::atomic<int>::is_always_lock_free, "signal handlers need a lock-free count");

extern "C" void recordStopRequest(int number) {
    // The next one ends the process even if shutdown hangs.
    if (requested.fetch_add(1) + 1 >= 2) signal(number, SIG_DFL);
}

}  // namespace

void watchStopRequests() {
    struct sigaction action {};
    action.sa_handler = recordStopRequest;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

int stopRequests() { return requested.load(); }

}  // namespace Varnix::Port
