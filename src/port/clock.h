#pragma once

// Elapsed time and plain waiting, for durations in log lines and polls.

namespace Varnix::Port {

// Milliseconds since an arbitrary start (the runtime's clock() on Windows,
// a monotonic clock elsewhere; never CPU time). Only differences mean
// anything; (later - earlier) / 1000 gives whole seconds. Any thread.
long long elapsedMilliseconds();

// Blocks the calling thread for about `milliseconds` (Sleep). Any thread.
void sleepMilliseconds(unsigned long milliseconds);

}  // namespace Varnix::Port
