// The video thread's queue: order, holding back, what overflow drops, and how
// the drops are told.
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

// Packets carry their sequence number as the width. The header's key flag is
// set only where the payload says otherwise, to show it counts for nothing.
PacketHeader Picture(uint16_t number, bool flag = false) {
    return PacketHeader::Make(kFieldUnitMagic, kPacketVideo, flag, 6, number, 0);
}

const uint8_t kIdr[6] = {0, 0, 0, 1, 0x65, 0x88};
const uint8_t kNonIdr[6] = {0, 0, 0, 1, 0x41, 0x9A};
const uint8_t kParameterSets[6] = {0, 0, 1, 0x67, 0x42, 0x00};

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

} // namespace

TEST(CVideoWorker, HandlesInOrderAndNeverBeforeTheirTime) {
    Recorder recorder;
    CVideoWorker worker(recorder.Handler());
    ASSERT_TRUE(worker.Start());
    auto now = Clock::now();
    for (uint16_t i = 0; i < 5; ++i)
        ASSERT_TRUE(worker.Push(Picture(i), i == 0 ? kIdr : kNonIdr, 6, now + i * 40ms));
    ASSERT_TRUE(WaitUntil([&] { return worker.GetCounters().handled == 5; }, 30s));
    // One due sooner than those before it brings them forward, in order.
    ASSERT_TRUE(worker.Push(Picture(5), kNonIdr, 6, Clock::now() + 1h));
    ASSERT_TRUE(worker.Push(Picture(6), kNonIdr, 6, Clock::now() + 1h));
    ASSERT_TRUE(worker.Push(Picture(7), kNonIdr, 6, Clock::now() + 50ms));
    ASSERT_TRUE(WaitUntil([&] { return worker.GetCounters().handled == 8; }, 30s));
    worker.Finish();
    EXPECT_EQ(recorder.Handled(), (std::vector<uint16_t>{0, 1, 2, 3, 4, 5, 6, 7}));
    for (auto late : recorder.lateness)
        EXPECT_GE(late, 0ms);
}

TEST(CVideoWorker, OverflowDropsUpToWhereThePayloadLetsDecodingStartAndStopDropsTheRest) {
    Recorder recorder;
    recorder.hold = true;
    CVideoWorker worker(recorder.Handler());
    ASSERT_TRUE(worker.Start());
    auto now = Clock::now();
    CVideoWorker::DropBurst burst;
    uint16_t n = 0;
    // The first is taken up by the held handler; the queue then fills.
    ASSERT_TRUE(worker.Push(Picture(n++), kIdr, 6, now));
    ASSERT_TRUE(WaitUntil([&] { return worker.GetCounters().queued == 1; }, 10s));
    std::this_thread::sleep_for(50ms);
    for (size_t i = 0; i < CVideoWorker::kMaxPackets; ++i)
        ASSERT_TRUE(worker.Push(Picture(n++), kNonIdr, 6, now));
    uint16_t firstDropped = n;
    EXPECT_FALSE(worker.Push(Picture(n++), kNonIdr, 6, now));
    EXPECT_FALSE(worker.TakeDropBurst(Clock::now(), burst)) << "told once it ends";
    recorder.hold = false;
    ASSERT_TRUE(WaitUntil([&] { return worker.GetCounters().handled == firstDropped; }, 30s));
    // There is room again, but the chain is broken: a flag on the header
    // changes nothing, parameter sets alone break nothing and go through.
    EXPECT_FALSE(worker.Push(Picture(n++, true), kNonIdr, 6, now));
    uint16_t sets = n;
    EXPECT_TRUE(worker.Push(Picture(n++), kParameterSets, 6, now));
    EXPECT_FALSE(worker.TakeDropBurst(Clock::now(), burst));
    uint16_t idr = n;
    EXPECT_TRUE(worker.Push(Picture(n++), kIdr, 6, now));
    ASSERT_TRUE(worker.TakeDropBurst(Clock::now(), burst));
    EXPECT_TRUE(burst.ended);
    EXPECT_EQ(burst.dropped, 2u);
    EXPECT_FALSE(worker.TakeDropBurst(Clock::now(), burst)) << "once a burst";
    EXPECT_TRUE(worker.Push(Picture(n++), kNonIdr, 6, now));
    worker.Finish();

    std::vector<uint16_t> handled = recorder.Handled();
    std::vector<uint16_t> expected;
    for (uint16_t i = 0; i < firstDropped; ++i)
        expected.push_back(i);
    expected.insert(expected.end(), {sets, idr, uint16_t(idr + 1)});
    EXPECT_EQ(handled, expected);
    EXPECT_EQ(worker.GetCounters().dropped, 2u);

    // A picture decoding can start at that finds the queue full replaces
    // what waits there; that burst ends at once.
    recorder.hold = true;
    ASSERT_TRUE(worker.Start());
    ASSERT_TRUE(worker.Push(Picture(1000), kIdr, 6, now));
    ASSERT_TRUE(WaitUntil([&] { return worker.GetCounters().queued == expected.size() + 1; }, 10s));
    std::this_thread::sleep_for(50ms);
    for (size_t i = 0; i < CVideoWorker::kMaxPackets; ++i)
        worker.Push(Picture(uint16_t(1001 + i)), kNonIdr, 6, now);
    EXPECT_TRUE(worker.Push(Picture(2000), kIdr, 6, now));
    ASSERT_TRUE(worker.TakeDropBurst(Clock::now(), burst));
    EXPECT_TRUE(burst.ended);
    EXPECT_EQ(burst.dropped, CVideoWorker::kMaxPackets);
    recorder.hold = false;
    worker.Finish();
    handled = recorder.Handled();
    ASSERT_GE(handled.size(), 2u);
    EXPECT_EQ(handled[handled.size() - 2], 1000);
    EXPECT_EQ(handled.back(), 2000);

    // A stream that never gives a place to start again is told of once it
    // has gone on for a while, and again when it ends.
    recorder.hold = true;
    ASSERT_TRUE(worker.Start());
    const uint32_t queued = worker.GetCounters().queued;
    ASSERT_TRUE(worker.Push(Picture(3000), kIdr, 6, Clock::now()));
    ASSERT_TRUE(WaitUntil([&] { return worker.GetCounters().queued == queued + 1; }, 10s));
    std::this_thread::sleep_for(50ms);
    // Not due for long: only the count overflows.
    const auto notYet = Clock::now() + 1h;
    for (size_t i = 0; i < CVideoWorker::kMaxPackets + 5; ++i)
        worker.Push(Picture(uint16_t(3001 + i)), kNonIdr, 6, notYet);
    const auto later = Clock::now() + CVideoWorker::kBurstNotice;
    EXPECT_FALSE(worker.TakeDropBurst(later - 1s, burst));
    ASSERT_TRUE(worker.TakeDropBurst(later, burst));
    EXPECT_FALSE(burst.ended);
    EXPECT_EQ(burst.dropped, 5u);
    EXPECT_FALSE(worker.TakeDropBurst(later + 1s, burst));
    worker.Push(Picture(4000), kNonIdr, 6, notYet);
    EXPECT_TRUE(worker.Push(Picture(4001), kIdr, 6, notYet));
    ASSERT_TRUE(worker.TakeDropBurst(later + 1s, burst));
    EXPECT_TRUE(burst.ended);
    EXPECT_EQ(burst.dropped, 6u + CVideoWorker::kMaxPackets);

    // Stop drops what waits, even what is not due for a long time.
    recorder.hold = false;
    worker.Finish();
    ASSERT_TRUE(worker.Start());
    worker.Push(Picture(5000), kIdr, 6, Clock::now() + 1h);
    worker.Stop();
    EXPECT_EQ(recorder.Handled().back(), 4001);
    EXPECT_FALSE(worker.TakeDropBurst(Clock::now() + 1h, burst)) << "Stop is no overflow";
}
