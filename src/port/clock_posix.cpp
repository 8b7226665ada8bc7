#include "port/clock.h"

#include <atomic>
#include <cerrno>
#include <time.h>

namespace Varnix::Port {

namespace {

std::atomic<long long> offsetForTests{0};

}  // namespace

long long elapsedMilliseconds() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000 + offsetForTests.load();
}

void setElapsedOffsetForTests(long long milliseconds) { offsetForTests = milliseconds; }

void sleepMilliseconds(unsigned long milliseconds) {
    timespec remaining;
    remaining.tv_sec = static_cast<time_t>(milliseconds / 1000);
    remaining.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
    while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}

}  // namespace Varnix::Port
