#pragma once

// Elapsed time and plain waiting, for durations in log lines and polls.

namespace Varnix::Port {

// Milliseconds since an arbitrary start: a 64-bit monotonic count on every
// platform (GetTickCount64 on Windows, whose runtime clock() gives up after
// 24.8 days; CLOCK_MONOTONIC elsewhere), never CPU time. Only differences
// mean anything; (later - earlier) / 1000 gives whole seconds. Any thread.
long long elapsedMilliseconds();

// Test hook: adds `milliseconds` to every later elapsedMilliseconds(), so a
// test can run the node's clock as if the machine had been up that long
// (past the 2^31 ms where a 32-bit count gives up, say). 0 unless a test
// sets it. Any thread.
void setElapsedOffsetForTests(long long milliseconds);

// Blocks the calling thread for about `milliseconds` (Sleep). Any thread.
void sleepMilliseconds(unsigned long milliseconds);

}  // namespace Varnix::Port
