#include "CVideoWorker.h"

#include "NalUnits.h"
#include "platform/ThreadPriority.h"

#include <algorithm>
#include <new>
#include <utility>

namespace {

// Buffers larger than this are not kept for re-use.
constexpr size_t kLargestSpare = 4u << 20;

} // namespace

CVideoWorker::CVideoWorker(Handler h) : handler(std::move(h)) {}

CVideoWorker::~CVideoWorker() { Stop(); }

bool CVideoWorker::Start() {
    if (thread.joinable())
        return true;
    {
        std::lock_guard guard(mutex);
        finishing = stopping = skipping = false;
        burstDropped = endedBurst = 0;
    }
    try {
        thread = std::thread([this] { Run(); });
    } catch (...) {
        return false;
    }
    return true;
}

void CVideoWorker::Finish() {
    {
        std::lock_guard guard(mutex);
        finishing = true;
    }
    wake.notify_all();
    if (thread.joinable())
        thread.join();
}

void CVideoWorker::Stop() {
    {
        std::lock_guard guard(mutex);
        stopping = true;
        DropQueued();
    }
    wake.notify_all();
    if (thread.joinable())
        thread.join();
}

bool CVideoWorker::Overflows(uint32_t length, Clock::time_point now) const {
    if (queue.empty())
        return false;
    return queue.size() >= kMaxPackets || queuedBytes + length > kMaxBytes ||
           now - queue.front().due > kMaxOverdue;
}

void CVideoWorker::DropQueued() {
    counters.dropped += uint32_t(queue.size());
    while (!queue.empty()) {
        KeepSpare(std::move(queue.front().payload));
        queue.pop_front();
    }
    queuedBytes = 0;
}

std::vector<uint8_t> CVideoWorker::TakeBuffer(uint32_t length) {
    std::vector<uint8_t> buffer;
    if (!spare.empty()) {
        buffer = std::move(spare.back());
        spare.pop_back();
        spareBytes -= buffer.capacity();
    }
    buffer.resize(length);
    return buffer;
}

void CVideoWorker::KeepSpare(std::vector<uint8_t>&& buffer) {
    const size_t size = buffer.capacity();
    if (size <= kLargestSpare && spareBytes + size <= kMaxSpareBytes) {
        spare.push_back(std::move(buffer));
        spareBytes += size;
    }
}

bool CVideoWorker::Push(const PacketHeader& header, const uint8_t* payload, uint32_t length,
                        Clock::time_point due) {
    // The header's key flag is only a hint for drawing: whether decoding can
    // start here is read from the picture itself.
    const PictureStart start = ReadPictureStart(payload, length);
    {
        std::lock_guard guard(mutex);
        if (!thread.joinable() || stopping || finishing) {
            ++counters.dropped;
            return false;
        }
        const Clock::time_point now = Clock::now();
        if (start.chainStart) {
            // Decoding can start here, needing nothing before it: what still
            // waits is dropped when there is no room for it.
            skipping = false;
            if (Overflows(length, now)) {
                NoteDropped(uint32_t(queue.size()), now);
                DropQueued();
            }
        } else if (Overflows(length, now) || (start.picture && skipping)) {
            // A picture that cannot be taken breaks the chain the following
            // ones refer to: they go too, up to where decoding can start
            // again. What holds no picture (parameter sets) breaks nothing.
            if (start.picture)
                skipping = true;
            ++counters.dropped;
            NoteDropped(1, now);
            return false;
        }
        Packet packet{header, {}, due, due};
        try {
            packet.payload = TakeBuffer(length);
        } catch (const std::bad_alloc&) {
            skipping = true;
            ++counters.dropped;
            NoteDropped(1, now);
            return false;
        }
        if (length)
            std::copy(payload, payload + length, packet.payload.begin());
        // Pictures are shown in the order they came: one due sooner than
        // those before it (the sound skipped ahead, or was not yet playing
        // when they came) brings them forward with it rather than wait
        // behind them.
        for (auto it = queue.rbegin(); it != queue.rend() && it->due > due; ++it)
            it->due = due;
        queuedBytes += length;
        queue.push_back(std::move(packet));
        ++counters.queued;
        if (!skipping)
            NoteTaken();
    }
    wake.notify_one();
    return true;
}

void CVideoWorker::NoteDropped(uint32_t count, Clock::time_point now) {
    if (count == 0)
        return;
    if (burstDropped == 0) {
        burstSince = now;
        burstTold = false;
    }
    burstDropped += count;
}

void CVideoWorker::NoteTaken() {
    endedBurst += burstDropped;
    burstDropped = 0;
}

bool CVideoWorker::TakeDropBurst(Clock::time_point now, DropBurst& burst) {
    std::lock_guard guard(mutex);
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

void CVideoWorker::Run() {
    // Started by the receiving thread, whose priority it would keep: pictures
    // must never compete with the sound on equal terms.
    platform::SetThreadPriority(platform::ThreadRole::kPicture);
    std::unique_lock lock(mutex);
    for (;;) {
        wake.wait(lock, [this] { return stopping || finishing || !queue.empty(); });
        if (stopping || queue.empty())
            return; // stopped, or finished with nothing left
        // Held back until due; a Stop, or a Finish that hurries what is left,
        // ends the wait.
        if (!finishing) {
            Clock::time_point due = queue.front().due;
            wake.wait_until(lock, due, [this, due] {
                return stopping || finishing || queue.empty() || queue.front().due != due;
            });
            if (stopping)
                return;
            if (queue.empty() || Clock::now() < queue.front().due)
                continue;
        }
        Packet packet = std::move(queue.front());
        queue.pop_front();
        queuedBytes -= packet.payload.size();
        inHand = true;
        lock.unlock();
        handler(packet);
        lock.lock();
        inHand = false;
        ++counters.handled;
        KeepSpare(std::move(packet.payload));
    }
}

void CVideoWorker::ReleaseBuffers() {
    std::lock_guard guard(mutex);
    spare.clear();
    spare.shrink_to_fit();
    spareBytes = 0;
}

CVideoWorker::Counters CVideoWorker::GetCounters() const {
    std::lock_guard guard(mutex);
    Counters c = counters;
    c.waiting = uint32_t(queue.size()) + (inHand ? 1 : 0);
    return c;
}
