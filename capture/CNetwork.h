// The return audio sender of one connection: captures the studio's audio,
// encodes it as AAC and sends it back to the field unit on the connection.
#pragma once

#include "CCapture.h"
#include "CChunkSender.h"
#include "core/CFrameEncoder.h"
#include "core/PacketHeader.h"
#include "core/SessionContext.h"
#include "instruments/CLevelMeter.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>

class CNetwork : public CChunkSender {
public:
    // With an audio source chosen, opens the encoder and builds and runs the
    // capture graph; meter, when given, is fed every chunk captured while
    // this sender lives, and must outlive it. Worker thread.
    CNetwork(SessionContext* session, std::unique_ptr<CFrameEncoder> encoder,
             CLevelMeter* meter = nullptr);
    // Stops the graph before anything it calls goes away. Worker thread.
    ~CNetwork() override;
    CNetwork(const CNetwork&) = delete;
    CNetwork& operator=(const CNetwork&) = delete;

    // One chunk of captured PCM, chunkSize bytes; called on the capture
    // streaming thread. Sends one packet of the encoded frames without ever
    // waiting: a packet the peer's window cannot take whole at once is
    // dropped, unless nothing else of ours is on its way (a window smaller
    // than one packet then takes it in parts). A packet that went out in
    // part is finished before any other; when it cannot be finished within
    // kFinishWithinMs, or a send fails, the connection is shut down.
    void Send(const uint8_t* chunk, uint32_t length) override;

    // A field unit from which nothing at all has come, not even an
    // acknowledgement, for this long while return audio waits for one is
    // gone: its connection is shut down. 0 never. Any thread.
    void SetPeerGoneAfter(std::chrono::milliseconds limit) { peerGoneMs = limit.count(); }

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
    static constexpr int kFinishWithinMs = 2000;

    // For tests and benchmarks; any thread.
    struct Counters {
        uint64_t chunks = 0;         // Send calls
        uint64_t packetsSent = 0;    // packets that went out whole
        uint64_t chunksDropped = 0;  // chunks that produced no packet on the wire
        uint64_t packetsDropped = 0; // of those, packets the connection could not take
        uint64_t packetsCut = 0;     // packets that went out in part and were finished later
        uint64_t framesSkipped = 0;  // frames the encoder failed on
        uint64_t encodeNanoseconds = 0;
        Counters& operator+=(const Counters& more);
    };
    Counters GetCounters() const;
    // Capture buffers the capture device lost before they were delivered.
    uint64_t CaptureBytesDropped() const;

private:
    void Publish();
    void Withdraw();
    // Sends what is left of a packet that went out in part. False when the
    // connection has to go: a send failed or the time to finish is over.
    bool FinishCutPacket(SOCKET s);
    void GiveUp(SOCKET s, const char16_t* text);

    SessionContext* session;
    CLevelMeter* meter = nullptr; // open while the graph runs
    std::unique_ptr<CFrameEncoder> encoder;
    int32_t frameSize = 0;
    uint32_t framesPerPacket = 0;
    int32_t bytesPerFrame = 0;
    PacketHeader header;
    CCapture capture;

    // Header and payload back to back, so that a packet leaves in one send.
    std::unique_ptr<uint8_t[]> packet;
    uint32_t packetCapacity = 0;
    // The rest of a packet that went out in part, and since when it waits.
    std::unique_ptr<uint8_t[]> cut;
    uint32_t cutAt = 0;
    uint32_t cutEnd = 0;
    std::chrono::steady_clock::time_point cutSince;
    // Set once the connection was given up; nothing more is sent.
    std::atomic<bool> broken{false};
    std::atomic<int64_t> peerGoneMs{0};

    std::atomic<uint64_t> chunks{0}, packetsSent{0}, chunksDropped{0}, packetsDropped{0},
        packetsCut{0}, framesSkipped{0}, encodeNanoseconds{0};
};
