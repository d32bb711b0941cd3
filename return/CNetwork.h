// The socket writer of the return audio: each chunk of captured PCM becomes
// one packet of five encoded AAC frames behind a 12-byte header, written to
// the connection without ever waiting.
#pragma once

#include "core/CCounters.h"
#include "core/CErrorHandler.h"
#include "core/CFrameEncoder.h"
#include "core/PacketHeader.h"
#include "platform/SocketCompat.h"
#include "platform/WaveFormat.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>

class CNetwork {
public:
    static constexpr uint32_t kFramesPerPacket = 5;
    static constexpr int kFinishWithinMs = 2000;

    struct Counters {
        uint64_t chunks = 0;         // chunks handed to Send
        uint64_t packetsSent = 0;    // packets that went out whole
        uint64_t chunksDropped = 0;  // chunks that produced no packet on the wire
        uint64_t packetsDropped = 0; // of those, packets the connection could not take
        uint64_t packetsCut = 0;     // packets that went out in part and were finished later
        uint64_t framesSkipped = 0;  // frames the encoder failed on
        uint64_t encodeNanoseconds = 0;
        // Captured bytes lost before they reached a chunk: counted by the
        // capture's ring, not here, and added by the ring's owner.
        uint64_t captureBytesDropped = 0;
    };

    // encoder is open with frameSize samples per channel a frame (0, or no
    // encoder: nothing is ever sent); it and handler (null for none) outlive
    // this. The socket stays its owner's.
    CNetwork(SOCKET socket, CFrameEncoder* encoder, int32_t frameSize, const WAVEFORMATEX& format,
             CErrorHandler* handler);
    virtual ~CNetwork() = default;
    CNetwork(const CNetwork&) = delete;
    CNetwork& operator=(const CNetwork&) = delete;

    // PCM bytes a packet is made of; 0 when nothing can be encoded.
    uint32_t ChunkBytes() const { return chunkBytes; }

    // One chunk, on one thread at a time. A packet the peer's window cannot
    // take whole at once is dropped, unless nothing else of ours is on its
    // way (a window smaller than one packet then takes it in parts). A packet
    // that went out in part is finished before any other; when it cannot be
    // finished within kFinishWithinMs, or a send fails, the connection is
    // shut down.
    void Send(const uint8_t* chunk, uint32_t length);

    // A field unit from which nothing at all has come, not even an
    // acknowledgement, for this long while return audio waits for one is
    // gone: its connection is shut down. 0 never. Any thread.
    void SetPeerGoneAfter(std::chrono::milliseconds limit) { peerGoneMs = limit.count(); }

    Counters GetCounters() const { return counters.Snapshot(); } // any thread

private:
    // Sends what is left of a packet that went out in part. False when the
    // connection has to go.
    bool FinishCutPacket();
    void GiveUp(const char16_t* text);

    const SOCKET socket;
    CFrameEncoder* const encoder;
    CErrorHandler* const handler;
    int32_t frameSize = 0;
    uint32_t bytesPerFrame = 0;
    uint32_t chunkBytes = 0;
    PacketHeader header;

    // Header and payload back to back, so that a packet leaves in one send.
    std::unique_ptr<uint8_t[]> packet;
    uint32_t packetCapacity = 0;
    // The rest of a packet that went out in part, and since when it waits.
    std::unique_ptr<uint8_t[]> cut;
    uint32_t cutAt = 0;
    uint32_t cutEnd = 0;
    std::chrono::steady_clock::time_point cutSince;
    // Set once the connection was given up; nothing more is sent.
    bool broken = false;
    std::atomic<int64_t> peerGoneMs{0};
    CCounters<Counters> counters;
};
