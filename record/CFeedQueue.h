// The bounded queue in front of one writer. The stream server's worker pushes
// and never waits; a writer that falls behind loses packets here: sound frame
// by frame, pictures from the one that did not fit up to the next key frame,
// so that no picture is ever written without the ones it depends on.
#pragma once

#include "CFeedPacket.h"
#include "core/CCounters.h"
#include "core/CKeyFrameQueue.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

class CFeedQueue {
public:
    static constexpr size_t kMaxBytes = 48u << 20;
    static constexpr size_t kMaxPackets = 1500;

    struct Counters {
        uint64_t droppedPictures = 0;
        uint64_t droppedAudioFrames = 0;
        // Left out while the writer had nowhere to write: only the newest
        // key frame and what follows it are kept then.
        uint64_t skipped = 0;
        size_t highWater = 0; // the most packets ever waiting
    };

    CFeedQueue(size_t maxBytes = kMaxBytes, size_t maxPackets = kMaxPackets);
    virtual ~CFeedQueue() = default;

    void Push(CFeedPacketPtr packet);
    // The oldest packet, waiting up to timeout; null when there is none or
    // Wake was called.
    CFeedPacketPtr Pop(std::chrono::milliseconds timeout);
    // Makes a waiting Pop return at once.
    void Wake();
    // Writing: packets are kept until popped. Not writing (connecting, or
    // waiting to try again): a key frame replaces everything before it.
    void SetWriting(bool writing);
    // Stops taking packets for good and lets go of those held.
    void Close();
    Counters GetCounters() const { return counters.Snapshot(); }

private:
    std::mutex lock;
    std::condition_variable ready;
    CKeyFrameQueue<CFeedPacketPtr> packets;
    bool writing = true;
    bool closed = false;
    bool woken = false;
    CCounters<Counters> counters;
};
