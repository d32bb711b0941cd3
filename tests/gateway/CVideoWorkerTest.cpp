// The pictures' queue: its rules (holding back, bringing forward, what
// overflow drops and how the drops are told) on a clock moved by hand, and
// the drawing thread that follows them.
#include "gateway/CPictureQueue.h"
#include "gateway/CVideoWorker.h"
#include "support/TestClient.h"

#include <gtest/gtest.h>

#include <mutex>
#include <vector>

using namespace std::chrono_literals;
using testing_support::WaitUntil;
using Clock = CPictureQueue::Clock;

namespace {

// Packets carry their sequence number as the width. The header's key flag is
// set only where the payload says otherwise, to show it counts for nothing.
PacketHeader Picture(uint16_t number, bool flag = false) {
    return PacketHeader::Make(kFieldUnitMagic, kPacketVideo, flag, 6, number, 0);
}

const uint8_t kIdr[6] = {0, 0, 0, 1, 0x65, 0x88};
const uint8_t kNonIdr[6] = {0, 0, 0, 1, 0x41, 0x9A};
const uint8_t kParameterSets[6] = {0, 0, 1, 0x67, 0x42, 0x00};

const Clock::time_point t0{std::chrono::hours(1000)};

struct Queue : CPictureQueue {
    uint16_t next = 0; // the number of the next packet pushed
    Pushed Add(const uint8_t* payload, Clock::time_point due, Clock::time_point now,
               bool flag = false) {
        return Push(Picture(next++, flag), payload, 6, due, now);
    }
    // Numbers and dues of what is taken at now, in order.
    std::vector<uint16_t> TakenAt(Clock::time_point now) {
        std::vector<uint16_t> taken;
        Packet p;
        while (TakeDue(now, p))
            taken.push_back(p.header.Value1());
        return taken;
    }
    // Fills the queue with pictures not due for an hour.
    void Fill() {
        while (Size() < kMaxPackets)
            ASSERT_TRUE(Add(Empty() ? kIdr : kNonIdr, t0 + 1h, t0).taken);
    }
};

} // namespace

TEST(CPictureQueue, HeldBackUntilDueAndBroughtForwardInOrder) {
    Queue q;
    q.Add(kIdr, t0 + 40ms, t0);
    q.Add(kNonIdr, t0 + 80ms, t0);
    EXPECT_TRUE(q.TakenAt(t0 + 39ms).empty());
    EXPECT_EQ(q.TakenAt(t0 + 40ms), (std::vector<uint16_t>{0}));
    EXPECT_TRUE(q.TakenAt(t0 + 79ms).empty());

    // One due sooner than those before it brings them forward with it, in
    // order; one due sooner still is left as it was.
    q.Add(kNonIdr, t0 + 1h, t0);
    q.Add(kNonIdr, t0 + 1h, t0);
    q.Add(kNonIdr, t0 + 100ms, t0);
    EXPECT_EQ(q.FrontDue(), t0 + 80ms);
    EXPECT_EQ(q.TakenAt(t0 + 99ms), (std::vector<uint16_t>{1}));
    CPictureQueue::Packet p;
    ASSERT_TRUE(q.TakeDue(t0 + 100ms, p));
    EXPECT_EQ(p.header.Value1(), 2);
    EXPECT_EQ(p.pushedDue, t0 + 1h) << "still named by the due it was pushed with";
    EXPECT_EQ(q.TakenAt(t0 + 100ms), (std::vector<uint16_t>{3, 4}));

    // Taken whenever it is due, as when the thread is finishing.
    q.Add(kNonIdr, t0 + 1h, t0);
    EXPECT_EQ(q.Take().header.Value1(), 5);
    EXPECT_TRUE(q.Empty());
}

TEST(CPictureQueue, OverflowDropsUpToWhereThePayloadLetsDecodingStart) {
    Queue q;
    CPictureQueue::DropBurst burst;
    q.Fill();
    EXPECT_EQ(q.Add(kNonIdr, t0 + 1h, t0).dropped, 1u);
    EXPECT_FALSE(q.TakeDropBurst(t0, burst)) << "told once it ends";
    for (int i = 0; i < 10; ++i)
        q.Take();
    // There is room again, but the chain is broken: a flag on the header
    // changes nothing, parameter sets alone break nothing and go through.
    EXPECT_FALSE(q.Add(kNonIdr, t0 + 1h, t0, true).taken);
    EXPECT_TRUE(q.Add(kParameterSets, t0 + 1h, t0).taken);
    EXPECT_FALSE(q.TakeDropBurst(t0, burst));
    EXPECT_TRUE(q.Add(kIdr, t0 + 1h, t0).taken);
    ASSERT_TRUE(q.TakeDropBurst(t0, burst));
    EXPECT_TRUE(burst.ended);
    EXPECT_EQ(burst.dropped, 2u);
    EXPECT_FALSE(q.TakeDropBurst(t0, burst)) << "once a burst";
    EXPECT_TRUE(q.Add(kNonIdr, t0 + 1h, t0).taken);

    // A picture decoding can start at that finds the queue full replaces
    // what waits there; that burst ends at once.
    q.Fill();
    const uint16_t idr = q.next;
    const CPictureQueue::Pushed pushed = q.Add(kIdr, t0 + 1h, t0);
    EXPECT_TRUE(pushed.taken);
    EXPECT_EQ(pushed.dropped, CPictureQueue::kMaxPackets);
    ASSERT_TRUE(q.TakeDropBurst(t0, burst));
    EXPECT_TRUE(burst.ended);
    EXPECT_EQ(burst.dropped, CPictureQueue::kMaxPackets);
    EXPECT_EQ(q.Take().header.Value1(), idr);
}

TEST(CPictureQueue, ALongBurstIsToldWhileItLastsAndAgainWhenItEnds) {
    Queue q;
    CPictureQueue::DropBurst burst;
    q.Fill();
    for (int i = 0; i < 5; ++i)
        q.Add(kNonIdr, t0 + 1h, t0 + 1ms * i);
    const auto later = t0 + CPictureQueue::kBurstNotice;
    EXPECT_FALSE(q.TakeDropBurst(later - 1ms, burst));
    ASSERT_TRUE(q.TakeDropBurst(later, burst));
    EXPECT_FALSE(burst.ended);
    EXPECT_EQ(burst.dropped, 5u);
    EXPECT_FALSE(q.TakeDropBurst(later + 1s, burst));
    q.Add(kNonIdr, t0 + 1h, later);
    EXPECT_TRUE(q.Add(kIdr, t0 + 1h, later).taken);
    ASSERT_TRUE(q.TakeDropBurst(later, burst));
    EXPECT_TRUE(burst.ended);
    EXPECT_EQ(burst.dropped, 6u + CPictureQueue::kMaxPackets);

    // Dropping all that waits (a stop) is no overflow; a new stream starts
    // with nothing awaited.
    q.Add(kNonIdr, t0 + 1h, later);
    q.Add(kNonIdr, t0 + 1h, later); // the chain the first began
    EXPECT_EQ(q.DropAll(), 3u);
    EXPECT_FALSE(q.TakeDropBurst(later + 1h, burst));
    q.Fill();
    q.Add(kNonIdr, t0 + 1h, later);
    q.Restart();
    q.Take();
    EXPECT_TRUE(q.Add(kNonIdr, t0 + 1h, later).taken);
    EXPECT_FALSE(q.TakeDropBurst(later + 1h, burst));
}

TEST(CPictureQueue, PicturesOverdueForLongOverflowTheQueue) {
    Queue q;
    CPictureQueue::DropBurst burst;
    q.Add(kIdr, t0, t0);
    EXPECT_TRUE(q.Add(kNonIdr, t0, t0 + CPictureQueue::kMaxOverdue).taken);
    EXPECT_FALSE(q.Add(kNonIdr, t0, t0 + CPictureQueue::kMaxOverdue + 1ms).taken);
    const CPictureQueue::Pushed pushed = q.Add(kIdr, t0 + 1s, t0 + 1s);
    EXPECT_TRUE(pushed.taken);
    EXPECT_EQ(pushed.dropped, 2u) << "the two late ones go for it";
    ASSERT_TRUE(q.TakeDropBurst(t0 + 1s, burst));
    EXPECT_EQ(burst.dropped, 3u);
    // The one left is not late: there is room for what follows it.
    EXPECT_TRUE(q.Add(kNonIdr, t0 + 1s, t0 + 1s + CPictureQueue::kMaxOverdue).taken);
}

namespace {

struct Recorder {
    std::mutex mutex;
    std::vector<uint16_t> handled;
    std::vector<Clock::duration> lateness; // handled minus due

    CVideoWorker::Handler Handler() {
        return [this](const CVideoWorker::Packet& p) {
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

TEST(CVideoWorker, HandsPicturesOnInOrderWhenDueFinishHurriesAndStopDrops) {
    Recorder recorder;
    CVideoWorker worker(recorder.Handler());
    EXPECT_FALSE(worker.Push(Picture(100), kIdr, 6, Clock::now(), Clock::now()))
        << "no thread yet";
    ASSERT_TRUE(worker.Start());
    auto now = Clock::now();
    ASSERT_TRUE(worker.Push(Picture(0), kIdr, 6, now - 100ms, now));
    ASSERT_TRUE(worker.Push(Picture(1), kNonIdr, 6, now, now));
    ASSERT_TRUE(worker.Push(Picture(2), kNonIdr, 6, now + 20ms, now));
    ASSERT_TRUE(WaitUntil([&] { return worker.GetCounters().handled == 3; }, 30s));
    now = Clock::now();
    ASSERT_TRUE(worker.Push(Picture(3), kNonIdr, 6, now + 1h, now));
    ASSERT_TRUE(worker.Push(Picture(4), kNonIdr, 6, now + 1h, now));
    EXPECT_EQ(worker.GetCounters().waiting, 2u);
    worker.Finish();
    EXPECT_EQ(recorder.Handled(), (std::vector<uint16_t>{0, 1, 2, 3, 4}));
    for (size_t i = 0; i < 3; ++i)
        EXPECT_GE(recorder.lateness[i], 0ms) << "picture " << i << " before its time";

    ASSERT_TRUE(worker.Start());
    now = Clock::now();
    ASSERT_TRUE(worker.Push(Picture(5), kIdr, 6, now + 1h, now));
    worker.Stop();
    EXPECT_FALSE(worker.Push(Picture(6), kNonIdr, 6, now, now));
    const CVideoWorker::Counters c = worker.GetCounters();
    EXPECT_EQ(c.queued, 6u);
    EXPECT_EQ(c.handled, 5u);
    EXPECT_EQ(c.dropped, 3u) << "before Start, by Stop, after Stop";
    EXPECT_EQ(c.waiting, 0u);
    CVideoWorker::DropBurst burst;
    EXPECT_FALSE(worker.TakeDropBurst(now + 1h, burst)) << "Stop is no overflow";
}
