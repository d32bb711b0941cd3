// The return audio sender of one connection: captures the studio's audio,
// encodes it as AAC and sends it back to the field unit on the connection.
#pragma once

#include "CCapture.h"
#include "codec/CAudioEncoder.h"
#include "core/PacketHeader.h"
#include "core/SessionContext.h"

#include <atomic>
#include <cstdint>
#include <memory>

class CNetwork {
public:
    // With an audio source chosen, opens the encoder and builds and runs the
    // capture graph. Worker thread.
    explicit CNetwork(SessionContext* session);
    // Stops the graph before anything it calls goes away. Worker thread.
    virtual ~CNetwork();
    CNetwork(const CNetwork&) = delete;
    CNetwork& operator=(const CNetwork&) = delete;

    // One chunk of captured PCM, chunkSize bytes; called on the capture
    // streaming thread. Sends one packet of the encoded frames, whole or not
    // at all; a send that fails or times out shuts the connection down.
    virtual void Send(const uint8_t* chunk, uint32_t length);

    // GUI thread: opens the property dialog of the capture device of the
    // session's current connection and returns when it closes. Safe while the
    // worker thread ends the connection: the dialog keeps the device's filter.
    // 0 when the connection has no capture device (no connection, the "(none)"
    // source, or a device that was not found).
    static int32_t ShowCaptureProperties(const SessionContext* session,
                                         platform::OwnerWindow owner);

    // Only for the worker thread, which owns this object.
    CCapture& Capture() { return capture; }

    static constexpr uint32_t kFramesPerPacket = 5;

    // For tests and benchmarks; any thread.
    struct Counters {
        uint64_t chunks = 0;        // Send calls
        uint64_t packetsSent = 0;   // packets that went out whole
        uint64_t chunksDropped = 0; // chunks that produced no packet on the wire
        uint64_t framesSkipped = 0; // frames the encoder failed on
        uint64_t encodeNanoseconds = 0;
    };
    Counters GetCounters() const;
    // Capture buffers the capture device lost before they were delivered.
    uint64_t CaptureBytesDropped() const;

private:
    void Publish();
    void Withdraw();

    SessionContext* session;
    CAudioEncoder encoder;
    int32_t frameSize = 0;
    uint32_t framesPerPacket = 0;
    int32_t bytesPerFrame = 0;
    PacketHeader header;
    CCapture capture;

    // Header and payload back to back, so that a packet leaves in one send.
    std::unique_ptr<uint8_t[]> packet;
    uint32_t packetCapacity = 0;
    // Set once a send failed part-way: the stream's framing is lost.
    std::atomic<bool> broken{false};

    std::atomic<uint64_t> chunks{0}, packetsSent{0}, chunksDropped{0}, framesSkipped{0},
        encodeNanoseconds{0};
};
