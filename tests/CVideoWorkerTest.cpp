// The video thread's queue: order, holding back, and what overflow drops.
#include "core/CVideoWorker.h"
#include "support/TestClient.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <vector>

using namespace std::chrono_literals;
using testing_support::WaitUntil;
using Clock = CVideoWorker::Clock;

namespace {

// Packets carry their sequence number as the width.
PacketHeader Picture(uint16_t number, bool key) {
    return PacketHeader::Make(kFieldUnitMagic, kPacketVideo, key, 4, number, 0);
}

struct Recorder {
    std::mutex mutex;
    std::vector<uint16_t> handled;
    std::vector<Clock::duration> lateness; // handled minus due
    std::atomic<bool> hold{false};

    CVideoWorker::Handler Handler() {
        return [this](const CVideoWorker::Packet& p) {
            while (hold)
                std::this_thread::sleep_for(1ms);
            std::lock_guard guard(mutex);
            handled.push_back(p.header.Value1());
            lateness.push_back(Clock::now() - p.due);
        };
    }
    std::vector<uint16_t> Handled() {
        std::lock_guard guard(mutex);
        return handled;
    }
};

const uint8_t kBytes[4] = {0, 0, 0, 1};

} // namespace

TEST(CVideoWorker, HandlesInOrderAndNeverBeforeTheirTime) {
    Recorder recorder;
    CVideoWorker worker(recorder.Handler());
    ASSERT_TRUE(worker.Start());
    auto now = Clock::now();
    for (uint16_t i = 0; i < 5; ++i)
        ASSERT_TRUE(worker.Push(Picture(i, i == 0), kBytes, 4, now + i * 40ms));
    ASSERT_TRUE(WaitUntil([&] { return worker.GetCounters().handled == 5; }, 30s));
    // One due sooner than those before it brings them forward, in order.
    ASSERT_TRUE(worker.Push(Picture(5, false), kBytes, 4, Clock::now() + 1h));
    ASSERT_TRUE(worker.Push(Picture(6, false), kBytes, 4, Clock::now() + 1h));
    ASSERT_TRUE(worker.Push(Picture(7, false), kBytes, 4, Clock::now() + 50ms));
    ASSERT_TRUE(WaitUntil([&] { return worker.GetCounters().handled == 8; }, 30s));
    worker.Finish();
    EXPECT_EQ(recorder.Handled(), (std::vector<uint16_t>{0, 1, 2, 3, 4, 5, 6, 7}));
    for (auto late : recorder.lateness)
        EXPECT_GE(late, 0ms);
}

TEST(CVideoWorker, OverflowDropsUpToTheNextKeyFrameAndStopDropsTheRest) {
    Recorder recorder;
    recorder.hold = true;
    CVideoWorker worker(recorder.Handler());
    ASSERT_TRUE(worker.Start());
    auto now = Clock::now();
    uint16_t n = 0;
    // The first is taken up by the held handler; the queue then fills.
    ASSERT_TRUE(worker.Push(Picture(n++, true), kBytes, 4, now));
    ASSERT_TRUE(WaitUntil([&] { return worker.GetCounters().queued == 1; }, 10s));
    std::this_thread::sleep_for(50ms);
    for (size_t i = 0; i < CVideoWorker::kMaxPackets; ++i)
        ASSERT_TRUE(worker.Push(Picture(n++, false), kBytes, 4, now));
    uint16_t firstDropped = n;
    EXPECT_FALSE(worker.Push(Picture(n++, false), kBytes, 4, now));
    recorder.hold = false;
    ASSERT_TRUE(WaitUntil([&] { return worker.GetCounters().handled >= 5; }, 30s));
    // There is room again, but the chain is broken until a key frame.
    EXPECT_FALSE(worker.Push(Picture(n++, false), kBytes, 4, now));
    uint16_t key = n;
    EXPECT_TRUE(worker.Push(Picture(n++, true), kBytes, 4, now));
    EXPECT_TRUE(worker.Push(Picture(n++, false), kBytes, 4, now));
    worker.Finish();

    std::vector<uint16_t> handled = recorder.Handled();
    std::vector<uint16_t> expected;
    for (uint16_t i = 0; i < firstDropped; ++i)
        expected.push_back(i);
    expected.push_back(key);
    expected.push_back(key + 1);
    EXPECT_EQ(handled, expected);
    EXPECT_EQ(worker.GetCounters().dropped, 2u);

    // A key frame that finds the queue full replaces what waits there.
    recorder.hold = true;
    ASSERT_TRUE(worker.Start());
    ASSERT_TRUE(worker.Push(Picture(1000, true), kBytes, 4, now));
    ASSERT_TRUE(WaitUntil([&] { return worker.GetCounters().queued == expected.size() + 1; }, 10s));
    std::this_thread::sleep_for(50ms);
    for (size_t i = 0; i < CVideoWorker::kMaxPackets; ++i)
        worker.Push(Picture(uint16_t(1001 + i), false), kBytes, 4, now);
    EXPECT_TRUE(worker.Push(Picture(2000, true), kBytes, 4, now));
    recorder.hold = false;
    worker.Finish();
    handled = recorder.Handled();
    ASSERT_GE(handled.size(), 2u);
    EXPECT_EQ(handled[handled.size() - 2], 1000);
    EXPECT_EQ(handled.back(), 2000);

    // Stop drops what waits, even what is not due for a long time.
    ASSERT_TRUE(worker.Start());
    worker.Push(Picture(3000, true), kBytes, 4, Clock::now() + 1h);
    worker.Stop();
    EXPECT_EQ(recorder.Handled().back(), 2000);
}
