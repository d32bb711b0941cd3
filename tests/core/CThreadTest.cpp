#include "core/CThread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
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

// Waits on a condition of its own, which the stop event cannot reach: only
// Wake ends the wait. Until released, it ignores both.
class Sleeper : public CThread {
public:
    explicit Sleeper(bool held = false) : released(!held) {}
    uint32_t Execute() override {
        std::unique_lock guard(lock);
        changed.wait(guard, [this] { return woken && released; });
        return 0;
    }
    void Release() {
        {
            std::lock_guard guard(lock);
            released = true;
        }
        changed.notify_all();
    }
    int wakes = 0;

protected:
    void Wake() override {
        {
            std::lock_guard guard(lock);
            woken = true;
            ++wakes;
        }
        changed.notify_all();
    }

private:
    std::mutex lock;
    std::condition_variable changed;
    bool woken = false, released;
};

using Clock = std::chrono::steady_clock;

} // namespace

TEST(CThread, StopEndsAPollingBodyAtOnceAndIsSafeToRepeat) {
    Poller t;
    ASSERT_TRUE(t.Start(0));
    EXPECT_FALSE(t.Start(0)) << "one thread per object";
    EXPECT_TRUE(t.Running());

    const auto start = Clock::now();
    EXPECT_TRUE(t.Stop(30000));
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(500))
        << "the 1000 ms wait returns as soon as the event is set";
    EXPECT_FALSE(t.Running());
    EXPECT_TRUE(t.StopRequested(100)) << "manual reset: still set";
    EXPECT_TRUE(t.Stop(0));
}

TEST(CThread, StopWakesABodyThatWaitsOnSomethingElse) {
    Sleeper t;
    ASSERT_TRUE(t.Start(0));
    EXPECT_TRUE(t.Stop(30000));
    EXPECT_EQ(t.wakes, 1);
    EXPECT_FALSE(t.Running());
}

TEST(CThread, StopGivesUpAfterItsTimeoutAndCanBeRepeated) {
    Sleeper t(true);
    ASSERT_TRUE(t.Start(0));
    const auto start = Clock::now();
    EXPECT_FALSE(t.Stop(50)) << "the body ignores the request";
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(45));
    EXPECT_TRUE(t.Running());
    t.Release();
    EXPECT_TRUE(t.Stop());
    EXPECT_FALSE(t.Running());
}

TEST(CThread, StopBeforeStartAndAfterTheBodyEndedOnItsOwn) {
    Quick q;
    EXPECT_FALSE(q.StopRequested(0));
    EXPECT_TRUE(q.Stop(10)) << "nothing to wait for before Start";
    ASSERT_TRUE(q.Start(0));
    EXPECT_FALSE(q.StopRequested(0));
    while (q.Running()) std::this_thread::yield();
    EXPECT_TRUE(q.ran);
    EXPECT_TRUE(q.Stop(0));
    EXPECT_TRUE(q.StopRequested(0));
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
