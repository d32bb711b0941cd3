#include "CVideoWorker.h"

#include "platform/ThreadPriority.h"

#include <utility>

CVideoWorker::CVideoWorker(Handler h) : handler(std::move(h)) {}

CVideoWorker::~CVideoWorker() { Stop(); }

bool CVideoWorker::Start() {
    if (thread.joinable())
        return true;
    {
        std::lock_guard guard(mutex);
        finishing = stopping = false;
        queue.Restart();
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
        counters.Add(&Counters::dropped, queue.DropAll());
    }
    wake.notify_all();
    if (thread.joinable())
        thread.join();
}

bool CVideoWorker::Push(const PacketHeader& header, const uint8_t* payload, uint32_t length,
                        Clock::time_point due, Clock::time_point now) {
    {
        std::lock_guard guard(mutex);
        if (!thread.joinable() || stopping || finishing) {
            counters.Add(&Counters::dropped);
            return false;
        }
        const CPictureQueue::Pushed pushed = queue.Push(header, payload, length, due, now);
        counters.Add(&Counters::dropped, pushed.dropped);
        if (!pushed.taken)
            return false;
        counters.Add(&Counters::queued);
    }
    wake.notify_one();
    return true;
}

bool CVideoWorker::TakeDropBurst(Clock::time_point now, DropBurst& burst) {
    std::lock_guard guard(mutex);
    return queue.TakeDropBurst(now, burst);
}

void CVideoWorker::Run() {
    // Started by the receiving thread, whose priority it would keep: pictures
    // must never compete with the sound on equal terms.
    platform::SetThreadPriority(platform::ThreadRole::kPicture);
    std::unique_lock lock(mutex);
    for (;;) {
        wake.wait(lock, [this] { return stopping || finishing || !queue.Empty(); });
        if (stopping || queue.Empty())
            return; // stopped, or finished with nothing left
        // Held back until due; a Stop, or a Finish that hurries what is left,
        // ends the wait.
        Packet packet;
        if (finishing) {
            packet = queue.Take();
        } else if (!queue.TakeDue(Clock::now(), packet)) {
            const Clock::time_point due = queue.FrontDue();
            wake.wait_until(lock, due, [this, due] {
                return stopping || finishing || queue.Empty() || queue.FrontDue() != due;
            });
            continue;
        }
        inHand = true;
        lock.unlock();
        handler(packet);
        lock.lock();
        inHand = false;
        counters.Add(&Counters::handled);
        queue.KeepSpare(std::move(packet.payload));
    }
}

void CVideoWorker::ReleaseBuffers() {
    std::lock_guard guard(mutex);
    queue.ReleaseBuffers();
}

CVideoWorker::Counters CVideoWorker::GetCounters() const {
    std::lock_guard guard(mutex);
    Counters c = counters.Snapshot();
    c.waiting = uint32_t(queue.Size()) + (inHand ? 1 : 0);
    return c;
}
