// Pictures are decoded and drawn on a thread of their own, behind a small
// bounded queue, so that a slow picture never holds up the sound that the
// receiving thread plays. Packets are handled in the order they came; each
// may be held back until a time of its own (the sound that came with it then
// plays as it is drawn). The queue's rules, overflow among them, are
// CPictureQueue's.
#pragma once

#include "CPictureQueue.h"
#include "core/PacketHeader.h"
#include "core/CCounters.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

class CVideoWorker {
public:
    using Clock = CPictureQueue::Clock;
    using Packet = CPictureQueue::Packet;
    using Handler = std::function<void(const Packet&)>;

    explicit CVideoWorker(Handler handler);
    ~CVideoWorker(); // stops, dropping what is queued
    CVideoWorker(const CVideoWorker&) = delete;
    CVideoWorker& operator=(const CVideoWorker&) = delete;

    // Starts the thread; false when it could not be created.
    bool Start();
    // Handles what is queued first, then ends the thread.
    void Finish();
    // Drops what is queued and ends the thread once the packet in hand is done.
    void Stop();

    // Copies the packet in; false when the overflow rule dropped it. Due:
    // the earliest moment it may be handled; those queued before it are due
    // no later. Now: when it is pushed, for the overflow rule.
    bool Push(const PacketHeader& header, const uint8_t* payload, uint32_t length,
              Clock::time_point due, Clock::time_point now);

    using DropBurst = CPictureQueue::DropBurst;
    // True with the burst to tell of now; at most one a call.
    bool TakeDropBurst(Clock::time_point now, DropBurst& burst);
    static constexpr std::chrono::seconds kBurstNotice = CPictureQueue::kBurstNotice;

    // Frees the buffers kept for re-use (between connections).
    void ReleaseBuffers();

    struct Counters {
        uint32_t queued = 0;  // packets taken in
        uint32_t handled = 0; // packets handed to the handler
        uint32_t dropped = 0; // packets dropped by the overflow rule
        uint32_t waiting = 0; // packets in the queue now, the one in hand too
    };
    Counters GetCounters() const;

    static constexpr size_t kMaxPackets = CPictureQueue::kMaxPackets;
    static constexpr size_t kMaxBytes = CPictureQueue::kMaxBytes;

private:
    void Run();

    Handler handler;
    std::thread thread;
    mutable std::mutex mutex;
    std::condition_variable wake; // a packet came, or the thread must end
    CPictureQueue queue;
    bool finishing = false;
    bool inHand = false; // the thread is in the handler
    bool stopping = false;
    CCounters<Counters, uint32_t> counters;
};
