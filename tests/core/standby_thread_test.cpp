#include "core/misc/multithreading/StandbyThread.h"

#include "core/Exception.h"
#include "port/clock.h"
#include "port/thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using Varnix::StandbyThread;

namespace {

// Waits up to a generous limit for `condition`; CI machines are loaded.
template <typename Condition>
bool eventually(Condition condition, long long limitMs = 10000) {
    long long start = Varnix::Port::elapsedMilliseconds();
    while (!condition()) {
        if (Varnix::Port::elapsedMilliseconds() - start > limitMs) return false;
        Varnix::Port::sleepMilliseconds(1);
    }
    return true;
}

struct Gate {
    std::atomic<bool> entered{false};
    std::atomic<bool> open{false};
    std::atomic<bool> returned{false};
};

void waitAtGate(void* data) {
    Gate* gate = static_cast<Gate*>(data);
    gate->entered = true;
    while (!gate->open) Varnix::Port::sleepMilliseconds(1);
    gate->returned = true;
}

struct Record {
    std::vector<int> order;
    std::vector<std::thread::id> threads;
    char name[64] = "";
    bool nameKnown = false;
};

Record* recordOf(void* data) { return static_cast<Record*>(data); }

void recordOne(void* data) {
    recordOf(data)->order.push_back(1);
    recordOf(data)->threads.push_back(std::this_thread::get_id());
}

void recordTwo(void* data) {
    recordOf(data)->order.push_back(2);
    recordOf(data)->threads.push_back(std::this_thread::get_id());
}

void recordName(void* data) {
    Record* record = recordOf(data);
    record->nameKnown = Varnix::Port::currentThreadName(record->name, sizeof record->name);
}

void throwBadAlloc(void*) { throw std::bad_alloc(); }

void throwOwnException(void*) { throw Varnix::Exception::fileError(Varnix::String(u"drData/received_scene.max")); }

}  // namespace

TEST(StandbyThread, DestroyingAnUnusedThreadReturnsAtOnce) {
    long long start = Varnix::Port::elapsedMilliseconds();
    {
        StandbyThread thread;
        EXPECT_FALSE(thread.isBusy());
        thread.waitIdle();
    }
    EXPECT_LT(Varnix::Port::elapsedMilliseconds() - start, 30000);  // nothing to join: no wait
}

TEST(StandbyThread, DefaultsBeforeTheFirstTask) {
    StandbyThread thread;
    EXPECT_EQ(5242880, thread.stackSize);
    EXPECT_EQ(Varnix::String(u"_VARNIX_standbyThread"), thread.name);
}

TEST(StandbyThread, BusyFromExecuteUntilTheTaskReturns) {
    StandbyThread thread;
    Gate gate;
    thread.execute(waitAtGate, &gate);
    EXPECT_TRUE(thread.isBusy());
    EXPECT_TRUE(eventually([&] { return gate.entered.load(); }));
    Varnix::Port::sleepMilliseconds(50);
    EXPECT_TRUE(thread.isBusy());
    gate.open = true;
    thread.waitIdle();
    EXPECT_TRUE(gate.returned);
    EXPECT_FALSE(thread.isBusy());
}

TEST(StandbyThread, ExecuteBlocksWhileATaskRuns) {
    StandbyThread thread;
    Gate first;
    Gate second;
    thread.execute(waitAtGate, &first);
    std::atomic<bool> handedOver{false};
    std::thread caller([&] {
        thread.execute(waitAtGate, &second);
        handedOver = true;
    });
    Varnix::Port::sleepMilliseconds(150);
    EXPECT_FALSE(handedOver);
    EXPECT_FALSE(second.entered);
    first.open = true;
    EXPECT_TRUE(eventually([&] { return handedOver.load(); }));
    EXPECT_TRUE(first.returned);
    EXPECT_TRUE(thread.isBusy());
    second.open = true;
    caller.join();
    thread.waitIdle();
    EXPECT_TRUE(second.returned);
}

TEST(StandbyThread, TasksRunInOrderOnOneThread) {
    Record record;
    {
        StandbyThread thread;
        thread.execute(recordOne, &record);
        thread.execute(recordTwo, &record);
        thread.waitIdle();
    }
    ASSERT_EQ((std::vector<int>{1, 2}), record.order);
    EXPECT_EQ(record.threads[0], record.threads[1]);
    EXPECT_NE(std::this_thread::get_id(), record.threads[0]);
}

TEST(StandbyThread, DestructorWaitsForTheRunningTask) {
    Gate gate;
    std::thread opener;
    {
        StandbyThread thread;
        thread.execute(waitAtGate, &gate);
        opener = std::thread([&] {
            Varnix::Port::sleepMilliseconds(100);
            gate.open = true;
        });
    }
    EXPECT_TRUE(gate.returned);
    opener.join();
}

TEST(StandbyThread, NameIsGivenAtTheFirstExecuteOnly) {
    Record record;
    StandbyThread thread;
    thread.name = Varnix::String(u"MY_ServerThread");
    thread.stackSize = 1048576;
    thread.execute(recordName, &record);
    thread.waitIdle();
    if (!record.nameKnown) GTEST_SKIP() << "the system keeps no readable thread names";
    EXPECT_STREQ("MY_ServerThread", record.name);

    thread.name = Varnix::String(u"MY_Renamed");
    thread.execute(recordName, &record);
    thread.waitIdle();
    EXPECT_STREQ("MY_ServerThread", record.name);
}

TEST(StandbyThread, LongNamesAreCutForTheSystem) {
    Record record;
    StandbyThread thread;
    thread.name = Varnix::String(u"MY_DiscoveryReplier");
    thread.execute(recordName, &record);
    thread.waitIdle();
    if (!record.nameKnown) GTEST_SKIP() << "the system keeps no readable thread names";
    EXPECT_EQ(0, std::strncmp("MY_DiscoveryReplier", record.name, std::strlen(record.name)));
    EXPECT_GT(std::strlen(record.name), 0u);
}

TEST(StandbyThread, SmallStackSizesStillRun) {
    Record record;
    StandbyThread thread;
    thread.stackSize = 1;  // raised to the system's minimum where needed
    thread.execute(recordOne, &record);
    thread.waitIdle();
    EXPECT_EQ((std::vector<int>{1}), record.order);
}

using StandbyThreadDeathTest = ::testing::Test;

TEST_F(StandbyThreadDeathTest, AllocationFailureShowsItsTextAndEndsTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            StandbyThread thread;
            thread.execute(throwBadAlloc, nullptr);
            thread.waitIdle();  // the failed worker never lets go
        },
        "WTF: bad allocation");
}

TEST_F(StandbyThreadDeathTest, OwnExceptionShowsItsMessage) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            StandbyThread thread;
            thread.execute(throwOwnException, nullptr);
            thread.waitIdle();
        },
        "WTF: Cannot open/read/write file 'drData/received_scene.max'");
}

// Thread creation can only be made to fail where the address space can be
// limited; the child process of the exit test does that.
#if __has_include(<sys/resource.h>)
#include <sys/resource.h>
#include <cstdlib>

namespace {

void markRun(void* data) { *static_cast<bool*>(data) = true; }

// Runs in the child: exits 0 when creation failed cleanly and a later
// hand-off still works.
void createUnderATightAddressSpace() {
    rlimit limit;
    limit.rlim_cur = limit.rlim_max = 512UL << 20;
    setrlimit(RLIMIT_AS, &limit);
    bool ran = false;
    StandbyThread thread;
    thread.stackSize = 0x7FFFFFFF;  // cannot fit under the limit
    try {
        thread.execute(markRun, &ran);
        std::exit(1);
    } catch (const Varnix::Exception& error) {
        if (error.getCode() != Varnix::Exception::threadCreationCode || ran) std::exit(2);
        if (std::string(error.what()) != "Cannot create thread '_VARNIX_standbyThread'") std::exit(3);
    }
    thread.stackSize = 65536;  // a later hand-off tries again
    thread.execute(markRun, &ran);
    thread.waitIdle();
    std::exit(ran ? 0 : 4);
}

}  // namespace

// Sanitizer runtimes reserve terabytes of shadow address space at start, so a
// process under a tight address-space limit dies before any thread is tried.
#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define VARNIX_UNDER_SANITIZER 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define VARNIX_UNDER_SANITIZER 1
#endif

TEST_F(StandbyThreadDeathTest, ThreadThatCannotBeCreatedThrowsInsteadOfHanging) {
#ifdef VARNIX_UNDER_SANITIZER
    GTEST_SKIP() << "an address-space limit cannot be combined with a sanitizer";
#endif
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(createUnderATightAddressSpace(), ::testing::ExitedWithCode(0), "");
}
#endif
