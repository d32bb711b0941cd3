#include "CFeedQueue.h"

namespace {

using Queue = CKeyFrameQueue<CFeedPacketPtr>;

} // namespace

CFeedQueue::CFeedQueue(size_t b, size_t p)
    : packets(Queue::Limits{p, b, false, Queue::KeyWhenFull::kDropped}) {}

void CFeedQueue::Push(CFeedPacketPtr packet) {
    using Kind = CFeedPacket::Kind;
    {
        std::lock_guard guard(lock);
        if (closed)
            return;
        const bool video = packet->kind == Kind::Video;
        if (video && packet->key && !writing)
            counters.Add(&Counters::skipped, packets.Clear());
        const Queue::Link link = !video     ? Queue::Link::kNone
                                 : packet->key ? Queue::Link::kKey
                                               : Queue::Link::kPicture;
        // The end of a connection always fits: it carries no data.
        const Queue::Room room =
            packet->kind == Kind::End ? Queue::Room::kAlways : Queue::Room::kByLimits;
        const size_t size = packet->data.size();
        switch (packets.Admit(size, link, room).verdict) {
        case Queue::Verdict::kTake:
            break;
        case Queue::Verdict::kAwaitingKey:
            counters.Add(writing ? &Counters::droppedPictures : &Counters::skipped);
            return;
        case Queue::Verdict::kNoRoom:
            counters.Add(!writing ? &Counters::skipped
                         : video  ? &Counters::droppedPictures
                                  : &Counters::droppedAudioFrames);
            return;
        }
        packets.Push(std::move(packet), size);
        if (packets.Size() > counters.Get(&Counters::highWater))
            counters.Set(&Counters::highWater, packets.Size());
    }
    ready.notify_one();
}

CFeedPacketPtr CFeedQueue::Pop(std::chrono::milliseconds timeout) {
    std::unique_lock guard(lock);
    ready.wait_for(guard, timeout, [this] { return woken || !packets.Empty(); });
    woken = false;
    if (packets.Empty())
        return nullptr;
    return packets.Pop();
}

void CFeedQueue::Wake() {
    {
        std::lock_guard guard(lock);
        woken = true;
    }
    ready.notify_all();
}

void CFeedQueue::SetWriting(bool w) {
    std::lock_guard guard(lock);
    writing = w;
}

void CFeedQueue::Close() {
    // Let go of outside the lock: the last holder of a packet frees it.
    Queue released(Queue::Limits{});
    {
        std::lock_guard guard(lock);
        closed = true;
        packets.MoveInto(released);
    }
    ready.notify_all();
}
