// The bounded queue that knows key frames: what fits, and which pictures go
// with one that did not.
#include "core/CKeyFrameQueue.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Queue = CKeyFrameQueue<std::string>;
using Link = Queue::Link;
using Room = Queue::Room;
using Verdict = Queue::Verdict;

// Offers item, and pushes it when it is let in.
Verdict Offer(Queue& q, const std::string& item, Link link, Room room = Room::kByLimits) {
    const Verdict v = q.Admit(item.size(), link, room).verdict;
    if (v == Verdict::kTake)
        q.Push(item, item.size());
    return v;
}

std::vector<std::string> Drain(Queue& q) {
    std::vector<std::string> out;
    while (!q.Empty())
        out.push_back(q.Pop());
    return out;
}

} // namespace

TEST(CKeyFrameQueue, BoundedByCountAndBytes) {
    Queue q({3, 10});
    EXPECT_EQ(Offer(q, "K1", Link::kKey), Verdict::kTake);
    EXPECT_EQ(Offer(q, "a1", Link::kNone), Verdict::kTake);
    EXPECT_EQ(Offer(q, "P1", Link::kPicture), Verdict::kTake);
    EXPECT_EQ(q.Bytes(), 6u);
    EXPECT_EQ(Offer(q, "a2", Link::kNone), Verdict::kNoRoom) << "by count";
    EXPECT_EQ(q.Pop(), "K1");
    EXPECT_EQ(Offer(q, "a234567", Link::kNone), Verdict::kNoRoom) << "by bytes: 4 + 7 > 10";
    EXPECT_EQ(Offer(q, "a23456", Link::kNone), Verdict::kTake) << "exactly full";
    EXPECT_EQ(q.Bytes(), 10u);
    EXPECT_EQ(Drain(q), (std::vector<std::string>{"a1", "P1", "a23456"}));
    EXPECT_EQ(q.Bytes(), 0u);

    // Larger than the whole queue: only where the owner says an empty queue
    // takes anything, or that this one always fits.
    EXPECT_EQ(Offer(q, "a23456789012", Link::kNone), Verdict::kNoRoom);
    EXPECT_EQ(Offer(q, "E", Link::kNone, Room::kAlways), Verdict::kTake);
    Queue roomy({3, 10, true});
    EXPECT_EQ(Offer(roomy, "a23456789012", Link::kNone), Verdict::kTake);
    EXPECT_EQ(Offer(roomy, "a", Link::kNone), Verdict::kNoRoom);
    // The owner's own limit (time) overrides count and bytes, but not an
    // empty queue that takes anything.
    Queue timed({3, 10, true});
    EXPECT_EQ(Offer(timed, "a", Link::kNone, Room::kNone), Verdict::kTake);
    EXPECT_EQ(Offer(timed, "b", Link::kNone, Room::kNone), Verdict::kNoRoom);
}

TEST(CKeyFrameQueue, APictureLostTakesTheRestOfItsGroupUpToTheNextKey) {
    Queue q({3, 100});
    Offer(q, "K1", Link::kKey);
    Offer(q, "P1", Link::kPicture);
    Offer(q, "P2", Link::kPicture);
    EXPECT_EQ(Offer(q, "P3", Link::kPicture), Verdict::kNoRoom);
    EXPECT_TRUE(q.AwaitingKey());
    EXPECT_EQ(Offer(q, "a1", Link::kNone), Verdict::kNoRoom) << "no room, but breaks nothing";
    EXPECT_TRUE(q.AwaitingKey());
    q.Pop();
    q.Pop();
    EXPECT_EQ(Offer(q, "P4", Link::kPicture), Verdict::kAwaitingKey) << "room, but no P3";
    EXPECT_EQ(Offer(q, "a2", Link::kNone), Verdict::kTake) << "sound needs no picture";
    EXPECT_EQ(Offer(q, "K2", Link::kKey), Verdict::kTake);
    EXPECT_FALSE(q.AwaitingKey());
    EXPECT_EQ(Drain(q), (std::vector<std::string>{"P2", "a2", "K2"}));

    // Lost after it was let in (no memory for it), or a new stream.
    q.BreakChain();
    EXPECT_EQ(Offer(q, "P5", Link::kPicture), Verdict::kAwaitingKey);
    q.Restart();
    EXPECT_EQ(Offer(q, "P6", Link::kPicture), Verdict::kTake);
}

TEST(CKeyFrameQueue, AKeyThatFindsNoRoomGoesOrClearsTheQueueAsTheOwnerChose) {
    // Dropped: the group it begins is lost with it.
    Queue dropping({2, 100, false, Queue::KeyWhenFull::kDropped});
    Offer(dropping, "K1", Link::kKey);
    Offer(dropping, "P1", Link::kPicture);
    EXPECT_EQ(Offer(dropping, "K2", Link::kKey), Verdict::kNoRoom);
    dropping.Pop();
    EXPECT_EQ(Offer(dropping, "P2", Link::kPicture), Verdict::kAwaitingKey);
    EXPECT_EQ(Offer(dropping, "K3", Link::kKey), Verdict::kTake);
    EXPECT_EQ(Drain(dropping), (std::vector<std::string>{"P1", "K3"}));

    // Clearing: what waited is handed back, oldest first, and counted.
    Queue clearing({2, 100, false, Queue::KeyWhenFull::kClearsQueued});
    Offer(clearing, "K1", Link::kKey);
    Offer(clearing, "P1", Link::kPicture);
    std::vector<std::string> released;
    const Queue::Admission a = clearing.Admit(
        2, Link::kKey, Room::kByLimits, [&](std::string&& s) { released.push_back(s); });
    EXPECT_EQ(a.verdict, Verdict::kTake);
    EXPECT_EQ(a.cleared, 2u);
    EXPECT_EQ(released, (std::vector<std::string>{"K1", "P1"}));
    EXPECT_EQ(clearing.Bytes(), 0u);
    clearing.Push("K2", 2);
    // It also ends a wait for a key; a key with room clears nothing.
    Offer(clearing, "P2", Link::kPicture);
    EXPECT_EQ(Offer(clearing, "P3", Link::kPicture), Verdict::kNoRoom);
    clearing.Pop();
    EXPECT_EQ(clearing.Admit(2, Link::kKey).cleared, 0u);
}

TEST(CKeyFrameQueue, WaitingPacketsCanBeChangedNewestFirstAndMovedOut) {
    Queue q({5, 100});
    for (const char* s : {"a", "b", "c", "d"})
        Offer(q, s, Link::kNone);
    int visited = 0;
    q.NewestFirst([&](std::string& s) {
        s += "!";
        return ++visited < 2;
    });
    Queue out({5, 100});
    q.MoveInto(out);
    EXPECT_TRUE(q.Empty());
    EXPECT_EQ(q.Bytes(), 0u);
    EXPECT_EQ(out.Bytes(), 4u);
    EXPECT_EQ(Drain(out), (std::vector<std::string>{"a", "b", "c!", "d!"}));
    EXPECT_EQ(out.Bytes(), 0u) << "the bytes pushed are taken off, whatever the packet became";
}
