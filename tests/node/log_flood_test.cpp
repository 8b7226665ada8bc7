// What keeps floods from the network off the log and out of the way: host
// name lookups that cannot hold up their caller, and the budget of ping
// lines. The resolver here is one the test holds and releases, standing in
// for a name server that does not answer; no assertion is on elapsed time.
#include "node/PeerNames.h"
#include "node/LineBudget.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

using Varnix::LineBudget;
using Varnix::PeerNames;
using Varnix::Port::IPv4Address;

namespace {

// A resolver that hangs until released (or until a generous watchdog runs
// out, so that a broken lookup bound fails the test instead of hanging it).
struct HeldResolver {
    std::mutex lock;
    std::condition_variable released;
    bool open = false;
    std::atomic<int> calls{0};
    std::atomic<bool> watchdogFired{false};

    std::string resolve(const IPv4Address& address) {
        ++calls;
        std::unique_lock<std::mutex> hold(lock);
        if (!released.wait_for(hold, std::chrono::seconds(30), [&] { return open; })) watchdogFired = true;
        return "host-" + std::to_string(address.host & 0xFF);
    }
    void release() {
        std::lock_guard<std::mutex> hold(lock);
        open = true;
        released.notify_all();
    }
};

bool eventually(const std::function<bool()>& done) {
    for (int i = 0; i < 1200; ++i) {
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return done();
}

}  // namespace

TEST(PeerNames, HangingLookupGivesTheDottedAddressThenTheNameOnceItCame) {
    auto held = std::make_shared<HeldResolver>();
    PeerNames names([held](const IPv4Address& a) { return held->resolve(a); });
    IPv4Address address{0x0A000007, 1234};  // 10.0.0.7
    EXPECT_EQ(names.nameFor(address, 50), "10.0.0.7");
    EXPECT_FALSE(held->watchdogFired);  // it did not wait for the resolver
    held->release();
    EXPECT_TRUE(eventually([&] { return names.nameFor(address, 0) == "host-7"; }));
    EXPECT_EQ(held->calls, 1);
}

TEST(PeerNames, WhileTheResolverHangsNoCallerWaitsEvenWithALongWait) {
    auto held = std::make_shared<HeldResolver>();
    PeerNames names([held](const IPv4Address& a) { return held->resolve(a); });
    ASSERT_EQ(names.nameFor(IPv4Address{0x7F000002, 0}, 0), "127.0.0.2");
    ASSERT_TRUE(eventually([&] { return held->calls == 1; }));
    // A forged flood of source addresses: each call may wait a minute, yet
    // with the lookup thread stuck none of them does.
    for (std::uint32_t i = 0; i < 200; ++i) {
        IPv4Address address{0x7F010000 + i, 19666};
        EXPECT_EQ(names.nameFor(address, 60000), address.dotted());
        EXPECT_EQ(names.nameFor(address, 60000), address.dotted());  // queued once, no second wait
    }
    EXPECT_FALSE(held->watchdogFired);
    held->release();
    // The queue was bounded: far fewer lookups than addresses.
    EXPECT_TRUE(eventually([&] { return names.nameFor(IPv4Address{0x7F010000, 0}, 0) == "host-0"; }));
    EXPECT_LE(held->calls, int(1 + PeerNames::maxQueued));
}

TEST(PeerNames, AnsweredLookupIsKeptAndAskedOnce) {
    std::atomic<int> calls{0};
    PeerNames names([&calls](const IPv4Address&) {
        ++calls;
        return std::string("master07");
    });
    IPv4Address address{0xC0A80107, 0};
    EXPECT_TRUE(eventually([&] { return names.nameFor(address, 5000) == "master07"; }));
    for (int i = 0; i < 10; ++i) EXPECT_EQ(names.nameFor(address, 5000), "master07");
    EXPECT_EQ(calls, 1);
}

TEST(PeerNames, OwnerGoingAwayDoesNotWaitForAHangingLookup) {
    auto held = std::make_shared<HeldResolver>();
    {
        PeerNames names([held](const IPv4Address& a) { return held->resolve(a); });
        names.nameFor(IPv4Address{0x0A000001, 0}, 0);
        ASSERT_TRUE(eventually([&] { return held->calls == 1; }));
    }
    EXPECT_FALSE(held->watchdogFired);
    held->release();
    // The lookup thread ends on its own and frees what it shared with the
    // owner (the resolver's copy of `held` with it) before the test ends.
    EXPECT_TRUE(eventually([&] { return held.use_count() == 1; }));
}

TEST(LineBudget, OrdinaryPingsAreAllLoggedAFloodIsCountedAndTheCountComesWhenItPauses) {
    LineBudget budget(20, 5);
    long long now = 1000;
    // A master pinging twice a second for a minute: every ping gets its line.
    for (int i = 0; i < 120; ++i, now += 500) EXPECT_TRUE(budget.take(now));
    EXPECT_EQ(budget.dueCount(now), 0u);

    // 1,000 pings in one second: the burst, then a count.
    int logged = 0;
    for (int i = 0; i < 1000; ++i) logged += budget.take(now + i) ? 1 : 0;
    now += 1000;
    EXPECT_GE(logged, 20);
    EXPECT_LE(logged, 26);
    EXPECT_EQ(budget.dueCount(now), 0u);  // not before the flood pauses
    EXPECT_EQ(budget.dueCount(now + LineBudget::pauseMs), std::uint64_t(1000 - logged));
    EXPECT_EQ(budget.dueCount(now + LineBudget::pauseMs), 0u);  // counted once
}

TEST(LineBudget, LongFloodIsReportedWhileItLastsAndTheRestOnDemand) {
    LineBudget budget(20, 5);
    std::uint64_t held = 0, reported = 0;
    for (long long now = 0; now < 65000; now += 10) {
        if (!budget.take(now)) ++held;
        reported += budget.dueCount(now);
    }
    EXPECT_GE(reported, 1u);  // at least one count during the flood
    reported += budget.takeCount();
    EXPECT_EQ(reported, held);
}

TEST(LineBudget, RateBelowOneASecondWritesOneLineEveryFewSecondsAfterTheBurst) {
    LineBudget budget(20, 0.2);
    long long now = 0;
    for (int i = 0; i < 20; ++i) EXPECT_TRUE(budget.take(now));
    EXPECT_FALSE(budget.take(now));
    // A refusal every second: one in five is written, the rest counted.
    int written = 0;
    for (int i = 0; i < 100; ++i) written += budget.take(now += 1000) ? 1 : 0;
    EXPECT_EQ(written, 20);
    EXPECT_EQ(budget.takeCount(), std::uint64_t(1 + 100 - written));
    // One every five seconds is ordinary traffic: all written.
    for (int i = 0; i < 50; ++i) EXPECT_TRUE(budget.take(now += 5000));
}
