#include "port/clock.h"
#include "port/thread.h"

#include <gtest/gtest.h>

#include <atomic>

using namespace Varnix::Port;

namespace {

struct Shared {
    Mutex mutex;
    ConditionVariable condition;
    bool ready = false;
    std::atomic<bool> ran{false};
};

void signalReady(void* data) {
    Shared* shared = static_cast<Shared*>(data);
    sleepMilliseconds(50);
    MutexLock lock(shared->mutex);
    shared->ready = true;
    shared->ran = true;
    shared->condition.wakeAll();
}

}  // namespace

TEST(PortThread, CreatedThreadRunsAndWakesAWaiter) {
    Shared shared;
    ThreadHandle thread;
    {
        MutexLock lock(shared.mutex);
        thread = createThread(signalReady, &shared, 1048576);
        while (thread != nullptr && !shared.ready) shared.condition.wait(shared.mutex);
    }
    ASSERT_NE(nullptr, thread);
    joinThread(thread);
    closeThread(thread);
    EXPECT_TRUE(shared.ran);
}

TEST(PortThread, TimedWaitReturnsWithoutAWake) {
    Shared shared;
    MutexLock lock(shared.mutex);
    long long start = elapsedMilliseconds();
    shared.condition.waitFor(shared.mutex, 100);
    long long waited = elapsedMilliseconds() - start;
    EXPECT_GE(waited, 50);  // a spurious wake could end it early, never this early in practice
    EXPECT_LT(waited, 5000);
}

// The compiler's lock analysis has no notion of a recursive mutex.
static void lockTwiceAndLetGo(Mutex& mutex) NO_THREAD_SAFETY_ANALYSIS {
    mutex.lock();
    mutex.lock();
    mutex.unlock();
    mutex.unlock();
}

TEST(PortThread, MutexIsRecursive) {
    Mutex mutex;
    lockTwiceAndLetGo(mutex);
}

TEST(PortClock, SleepAdvancesTheClock) {
    long long start = elapsedMilliseconds();
    sleepMilliseconds(120);
    long long slept = elapsedMilliseconds() - start;
    EXPECT_GE(slept, 100);  // Wine's timers run a little short
    EXPECT_LT(slept, 5000);
}
