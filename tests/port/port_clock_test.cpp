#include "port/clock.h"

#include <gtest/gtest.h>

using namespace Varnix::Port;

namespace {

// 2^31 ms, 24.8 days: where a 32-bit millisecond count (the Windows
// runtime's clock()) gives up.
const long long limitOf32Bits = 2147483648LL;

}  // namespace

TEST(PortClock, CountsOnPastTheLimitOfA32BitMillisecondCount) {
    setElapsedOffsetForTests(limitOf32Bits - 2000 - elapsedMilliseconds());
    long long before = elapsedMilliseconds();
    sleepMilliseconds(3000);
    long long after = elapsedMilliseconds();
    setElapsedOffsetForTests(0);
    EXPECT_LT(before, limitOf32Bits);
    EXPECT_GT(after, limitOf32Bits);
    EXPECT_GE(after - before, 2900);  // the sleep, counted across the limit
}

TEST(PortClock, NeverRunsBackwards) {
    long long last = elapsedMilliseconds();
    for (int i = 0; i < 100000; ++i) {
        long long now = elapsedMilliseconds();
        ASSERT_GE(now, last);
        last = now;
    }
}
