#include "core/CThread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

// Runs until its stop event is signalled, polling as the server does.
class Poller : public CThread {
public:
    uint32_t Execute() override {
        while (!StopRequested(1000)) ++rounds;
        return 0;
    }
    std::atomic<int> rounds{0};
};

class Quick : public CThread {
public:
    uint32_t Execute() override {
        ran = true;
        return 42;
    }
    std::atomic<bool> ran{false};
};

using Clock = std::chrono::steady_clock;

} // namespace

TEST(CThread, WaitForTimesOutWhileRunningAndSucceedsOnceEnded) {
    Poller t;
    ASSERT_TRUE(t.Start(0));
    EXPECT_FALSE(t.Start(0)) << "one thread per object";
    auto start = Clock::now();
    EXPECT_EQ(t.WaitFor(50), WAIT_TIMEOUT);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(45));
    EXPECT_TRUE(t.Running());

    start = Clock::now();
    t.Terminate();
    EXPECT_EQ(t.WaitFor(30000), WAIT_OBJECT_0);
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(500))
        << "the 1000 ms wait returns as soon as the event is set";
    EXPECT_FALSE(t.Running());
    EXPECT_EQ(t.WaitFor(0), WAIT_OBJECT_0);
}

TEST(CThread, StopEventStaysSetAndIsAbsentBeforeStart) {
    Quick q;
    EXPECT_FALSE(q.StopRequested(0));
    EXPECT_EQ(q.WaitFor(10), WAIT_OBJECT_0) << "nothing to wait for before Start";
    ASSERT_TRUE(q.Start(0));
    EXPECT_EQ(q.WaitFor(5000), WAIT_OBJECT_0);
    EXPECT_TRUE(q.ran);
    q.Terminate();
    EXPECT_TRUE(q.StopRequested(0));
    EXPECT_TRUE(q.StopRequested(100)) << "manual reset: still set";
}

namespace {

// Still busy when destroyed. Its body touches nothing of the object once it
// runs, since the derived part is gone before the base joins.
std::atomic<bool> slowStarted{false}, slowDone{false};
class Slow : public CThread {
public:
    uint32_t Execute() override {
        slowStarted = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        slowDone = true;
        return 0;
    }
};

} // namespace

TEST(CThread, DestroyingWithoutWaitingJoinsTheThread) {
    auto* slow = new Slow;
    ASSERT_TRUE(slow->Start(0));
    while (!slowStarted) std::this_thread::yield();
    delete slow; // joined, not abandoned
    EXPECT_TRUE(slowDone);
}
