// Pictures are decoded and drawn on a thread of their own, behind a small
// bounded queue, so that a slow picture never holds up the sound that the
// receiving thread plays. Packets are handled in the order they came; each
// may be held back until a time of its own (the sound that came with it then
// plays as it is drawn). When the queue overflows, pictures are dropped up to
// the next one that decoding can start from, as its payload says (an IDR
// slice or a recovery point), never half a picture.
#pragma once

#include "PacketHeader.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

class CVideoWorker {
public:
    using Clock = std::chrono::steady_clock;
    struct Packet {
        PacketHeader header;
        std::vector<uint8_t> payload;
        Clock::time_point due; // not handled before then
        // The due it was pushed with, which names it to the caller: due
        // itself may be brought forward while it waits.
        Clock::time_point pushedDue;
    };
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
    // no later.
    bool Push(const PacketHeader& header, const uint8_t* payload, uint32_t length,
              Clock::time_point due);

    // Pictures dropped by the overflow rule, told once a burst: when a
    // picture is taken again, or, for a burst that goes on, once it has
    // lasted kBurstNotice (and then again when it ends).
    struct DropBurst {
        uint32_t dropped = 0; // in the burst so far
        bool ended = false;
    };
    // True with the burst to tell of now; at most one a call.
    bool TakeDropBurst(Clock::time_point now, DropBurst& burst);
    static constexpr std::chrono::seconds kBurstNotice{2};

    // Frees the buffers kept for re-use (between connections).
    void ReleaseBuffers();

    struct Counters {
        uint32_t queued = 0;  // packets taken in
        uint32_t handled = 0; // packets handed to the handler
        uint32_t dropped = 0; // packets dropped by the overflow rule
        uint32_t waiting = 0; // packets in the queue now, the one in hand too
    };
    Counters GetCounters() const;

    // The queue overflows beyond any of these: packets, bytes (a single packet
    // of any allowed size is always taken), or how long the oldest one has
    // been overdue. Pictures held back by the longest receive latency, and a
    // stall's backlog on top, fit in: 17 s at 60 a second.
    static constexpr size_t kMaxPackets = 1024;
    static constexpr size_t kMaxBytes = 64u << 20;
    static constexpr std::chrono::milliseconds kMaxOverdue{250};
    // Buffers kept for re-use, in bytes at most.
    static constexpr size_t kMaxSpareBytes = 16u << 20;

private:
    void Run();
    bool Overflows(uint32_t length, Clock::time_point now) const;
    void DropQueued();
    void NoteDropped(uint32_t count, Clock::time_point now);
    void NoteTaken();
    std::vector<uint8_t> TakeBuffer(uint32_t length);
    void KeepSpare(std::vector<uint8_t>&& buffer);

    Handler handler;
    std::thread thread;
    mutable std::mutex mutex;
    std::condition_variable wake;  // a packet came, or the thread must end
    std::deque<Packet> queue;
    std::vector<std::vector<uint8_t>> spare;
    size_t spareBytes = 0;
    size_t queuedBytes = 0;
    bool skipping = false; // dropping until decoding can start again
    // The burst of drops going on, and one that ended and is yet to be told.
    uint32_t burstDropped = 0;
    Clock::time_point burstSince;
    bool burstTold = false;
    uint32_t endedBurst = 0;
    bool finishing = false;
    bool inHand = false; // the thread is in the handler
    bool stopping = false;
    Counters counters;
};
