#include "CFeedQueue.h"

CFeedQueue::CFeedQueue(size_t b, size_t p) : maxBytes(b), maxPackets(p) {}

void CFeedQueue::Push(CFeedPacketPtr packet) {
    using Kind = CFeedPacket::Kind;
    {
        std::lock_guard guard(lock);
        if (closed)
            return;
        const bool video = packet->kind == Kind::Video;
        if (video && packet->key && !writing) {
            counters.skipped += packets.size();
            DropAll();
        }
        if (video && awaitingKey && !packet->key) {
            ++(writing ? counters.droppedPictures : counters.skipped);
            return;
        }
        // The end of a connection always fits: it carries no data.
        const bool fits = packet->kind == Kind::End ||
                          (packets.size() < maxPackets && bytes + packet->data.size() <= maxBytes);
        if (!fits) {
            if (!writing) {
                ++counters.skipped;
            } else if (video) {
                ++counters.droppedPictures;
            } else {
                ++counters.droppedAudioFrames;
            }
            if (video)
                awaitingKey = true;
            return;
        }
        if (video)
            awaitingKey = false;
        bytes += packet->data.size();
        packets.push_back(std::move(packet));
        if (packets.size() > counters.highWater)
            counters.highWater = packets.size();
    }
    ready.notify_one();
}

CFeedPacketPtr CFeedQueue::Pop(std::chrono::milliseconds timeout) {
    std::unique_lock guard(lock);
    ready.wait_for(guard, timeout, [this] { return woken || !packets.empty(); });
    woken = false;
    if (packets.empty())
        return nullptr;
    CFeedPacketPtr packet = std::move(packets.front());
    packets.pop_front();
    bytes -= packet->data.size();
    return packet;
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
    std::deque<CFeedPacketPtr> released;
    {
        std::lock_guard guard(lock);
        closed = true;
        released.swap(packets);
        bytes = 0;
    }
    ready.notify_all();
}

CFeedQueue::Counters CFeedQueue::GetCounters() {
    std::lock_guard guard(lock);
    return counters;
}

void CFeedQueue::DropAll() {
    packets.clear();
    bytes = 0;
}
