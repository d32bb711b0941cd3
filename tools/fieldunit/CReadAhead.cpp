#include "CReadAhead.h"

#include <utility>

CReadAhead::CReadAhead(std::unique_ptr<CMediaSource> s, int64_t span, size_t most)
    : source(std::move(s)), spanUs(span), maxPackets(most) {
    thread = std::thread([this] { Run(); });
}

CReadAhead::~CReadAhead() {
    {
        std::lock_guard guard(mutex);
        stopping = true;
    }
    changed.notify_all();
    thread.join();
}

bool CReadAhead::Full() const {
    if (ready.size() >= maxPackets)
        return true;
    // Counted from the last packet taken: ready's own span says nothing while
    // it is empty.
    return taken && !ready.empty() && ready.back().timeUs - lastTakenUs >= spanUs;
}

void CReadAhead::Run() {
    for (;;) {
        {
            std::unique_lock lock(mutex);
            changed.wait(lock, [this] { return stopping || !Full(); });
            if (stopping)
                return;
        }
        media::CMediaPacket packet;
        Result r = source->Read(packet);
        std::lock_guard guard(mutex);
        if (r != Result::Packet) {
            finished = true;
            result = r;
            if (r == Result::Error)
                error = source->LastError();
            changed.notify_all();
            return;
        }
        ready.push_back(std::move(packet));
        changed.notify_all();
    }
}

CMediaSource::Result CReadAhead::Read(media::CMediaPacket& packet) {
    std::unique_lock lock(mutex);
    changed.wait(lock, [this] { return !ready.empty() || finished; });
    if (ready.empty())
        return result;
    packet = std::move(ready.front());
    ready.pop_front();
    lastTakenUs = packet.timeUs;
    taken = true;
    changed.notify_all();
    return Result::Packet;
}
