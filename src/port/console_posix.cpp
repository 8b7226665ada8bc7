#include "port/console.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>

namespace Varnix::Port {

namespace {

std::atomic<int> interrupts{0};
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler needs a lock-free counter");

void onInterrupt(int) { interrupts.fetch_add(1); }

}  // namespace

bool isTerminal(StandardStream stream) {
    return isatty(stream == StandardStream::Output ? STDOUT_FILENO : STDERR_FILENO) == 1;
}

void catchInterrupts() {
    struct sigaction action = {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: a blocking call returns early so the program can react.
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
}

int interruptCount() { return interrupts.load(); }

}  // namespace Varnix::Port
