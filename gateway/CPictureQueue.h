// The rules of the pictures' queue in front of the drawing thread, with the
// time given: how long each is held back, which are brought forward, what
// overflow drops and how the drops are told. Plain bookkeeping, guarded by
// its owner's lock: tests move the clock by hand.
//
// When the queue overflows, pictures are dropped up to the next one that
// decoding can start from, as its payload says (an IDR slice or a recovery
// point), never half a picture.
#pragma once

#include "core/PacketHeader.h"
#include "core/CKeyFrameQueue.h"

#include <chrono>
#include <cstdint>
#include <vector>

class CPictureQueue {
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

    // The queue overflows beyond any of these: packets, bytes (a single packet
    // of any allowed size is always taken), or how long the oldest one has
    // been overdue. Pictures held back by the longest receive latency, and a
    // stall's backlog on top, fit in: 17 s at 60 a second.
    static constexpr size_t kMaxPackets = 1024;
    static constexpr size_t kMaxBytes = 64u << 20;
    static constexpr std::chrono::milliseconds kMaxOverdue{250};
    // Buffers kept for re-use, in bytes at most.
    static constexpr size_t kMaxSpareBytes = 16u << 20;

    CPictureQueue();

    struct Pushed {
        bool taken = false;
        uint32_t dropped = 0; // this packet, or those that waited for it
    };
    // Copies the packet in, unless the overflow rule drops it. Due: the
    // earliest moment it may be handled; those queued before it are due no
    // later. Now: when it is pushed.
    Pushed Push(const PacketHeader& header, const uint8_t* payload, uint32_t length,
                Clock::time_point due, Clock::time_point now);

    bool Empty() const { return queue.Empty(); }
    size_t Size() const { return queue.Size(); }
    // When the first one waiting is due; only while one waits.
    Clock::time_point FrontDue() const { return queue.Front().due; }
    // The first one waiting if it is due by now.
    bool TakeDue(Clock::time_point now, Packet& packet);
    // The first one waiting, whenever it is due; only while one waits.
    Packet Take() { return queue.Pop(); }
    // Drops all that waits, telling no burst; how many.
    uint32_t DropAll();

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

    // A new stream: no picture before it is awaited, no burst goes on.
    void Restart();
    // Takes back a payload handed out, to be re-used.
    void KeepSpare(std::vector<uint8_t>&& buffer);
    // Frees the buffers kept for re-use (between connections).
    void ReleaseBuffers();

private:
    void NoteDropped(uint32_t count, Clock::time_point now);
    void NoteTaken();
    std::vector<uint8_t> TakeBuffer(uint32_t length);

    CKeyFrameQueue<Packet> queue;
    std::vector<std::vector<uint8_t>> spare;
    size_t spareBytes = 0;
    // The burst of drops going on, and one that ended and is yet to be told.
    uint32_t burstDropped = 0;
    Clock::time_point burstSince;
    bool burstTold = false;
    uint32_t endedBurst = 0;
};
