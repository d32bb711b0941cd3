#include "CPictureQueue.h"

#include "core/NalUnits.h"

#include <algorithm>
#include <new>
#include <utility>

namespace {

using Queue = CKeyFrameQueue<CPictureQueue::Packet>;

// Buffers larger than this are not kept for re-use.
constexpr size_t kLargestSpare = 4u << 20;

} // namespace

CPictureQueue::CPictureQueue()
    : queue(Queue::Limits{kMaxPackets, kMaxBytes, true, Queue::KeyWhenFull::kClearsQueued}) {}

std::vector<uint8_t> CPictureQueue::TakeBuffer(uint32_t length) {
    std::vector<uint8_t> buffer;
    if (!spare.empty()) {
        buffer = std::move(spare.back());
        spare.pop_back();
        spareBytes -= buffer.capacity();
    }
    buffer.resize(length);
    return buffer;
}

void CPictureQueue::KeepSpare(std::vector<uint8_t>&& buffer) {
    const size_t size = buffer.capacity();
    if (size <= kLargestSpare && spareBytes + size <= kMaxSpareBytes) {
        spare.push_back(std::move(buffer));
        spareBytes += size;
    }
}

void CPictureQueue::ReleaseBuffers() {
    spare.clear();
    spare.shrink_to_fit();
    spareBytes = 0;
}

CPictureQueue::Pushed CPictureQueue::Push(const PacketHeader& header, const uint8_t* payload,
                                          uint32_t length, Clock::time_point due,
                                          Clock::time_point now) {
    // The header's key flag is only a hint for drawing: whether decoding can
    // start here is read from the picture itself. A picture that cannot be
    // taken breaks the chain the following ones refer to; what holds no
    // picture (parameter sets) breaks nothing.
    const PictureStart start = ReadPictureStart(payload, length);
    const Queue::Link link = start.chainStart ? Queue::Link::kKey
                             : start.picture  ? Queue::Link::kPicture
                                              : Queue::Link::kNone;
    const bool overdue = !queue.Empty() && now - queue.Front().due > kMaxOverdue;
    const Queue::Admission admission =
        queue.Admit(length, link, overdue ? Queue::Room::kNone : Queue::Room::kByLimits,
                    [this](Packet&& p) { KeepSpare(std::move(p.payload)); });
    Pushed pushed;
    pushed.dropped = uint32_t(admission.cleared);
    NoteDropped(pushed.dropped, now);
    if (admission.verdict != Queue::Verdict::kTake) {
        ++pushed.dropped;
        NoteDropped(1, now);
        return pushed;
    }
    Packet packet{header, {}, due, due};
    try {
        packet.payload = TakeBuffer(length);
    } catch (const std::bad_alloc&) {
        queue.BreakChain();
        ++pushed.dropped;
        NoteDropped(1, now);
        return pushed;
    }
    if (length)
        std::copy(payload, payload + length, packet.payload.begin());
    // Pictures are shown in the order they came: one due sooner than those
    // before it (the sound skipped ahead, or was not yet playing when they
    // came) brings them forward with it rather than wait behind them.
    queue.NewestFirst([due](Packet& p) {
        if (p.due <= due)
            return false;
        p.due = due;
        return true;
    });
    queue.Push(std::move(packet), length);
    pushed.taken = true;
    if (!queue.AwaitingKey())
        NoteTaken();
    return pushed;
}

bool CPictureQueue::TakeDue(Clock::time_point now, Packet& packet) {
    if (queue.Empty() || now < queue.Front().due)
        return false;
    packet = queue.Pop();
    return true;
}

uint32_t CPictureQueue::DropAll() {
    return uint32_t(queue.Clear([this](Packet&& p) { KeepSpare(std::move(p.payload)); }));
}

void CPictureQueue::Restart() {
    queue.Restart();
    burstDropped = endedBurst = 0;
}

void CPictureQueue::NoteDropped(uint32_t count, Clock::time_point now) {
    if (count == 0)
        return;
    if (burstDropped == 0) {
        burstSince = now;
        burstTold = false;
    }
    burstDropped += count;
}

void CPictureQueue::NoteTaken() {
    endedBurst += burstDropped;
    burstDropped = 0;
}

bool CPictureQueue::TakeDropBurst(Clock::time_point now, DropBurst& burst) {
    if (endedBurst) {
        burst = {endedBurst, true};
        endedBurst = 0;
        return true;
    }
    if (burstDropped && !burstTold && now - burstSince >= kBurstNotice) {
        burstTold = true;
        burst = {burstDropped, false};
        return true;
    }
    return false;
}
