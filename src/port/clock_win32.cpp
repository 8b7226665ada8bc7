#include "port/clock.h"

#include <windows.h>

#include <atomic>

namespace Varnix::Port {

namespace {

std::atomic<long long> offsetForTests{0};

}  // namespace

long long elapsedMilliseconds() {
    // Not the runtime's clock(): its 32-bit millisecond count runs out after
    // 24.8 days (it returns -1 from then on), and a node runs for weeks.
    return static_cast<long long>(GetTickCount64()) + offsetForTests.load();
}

void setElapsedOffsetForTests(long long milliseconds) { offsetForTests = milliseconds; }

void sleepMilliseconds(unsigned long milliseconds) { Sleep(static_cast<DWORD>(milliseconds)); }

}  // namespace Varnix::Port
