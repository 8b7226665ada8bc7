#include "port/clock.h"

#include <windows.h>

#include <ctime>

namespace Varnix::Port {

long long elapsedMilliseconds()
{
    // The Windows runtime's clock() is wall time since start, 1000 per second.
    return static_cast<long long>(std::clock()) * 1000 / CLOCKS_PER_SEC;
}

void sleepMilliseconds(unsigned long milliseconds)
{
    Sleep(static_cast<DWORD>(milliseconds));
}

}  // namespace Varnix::Port
