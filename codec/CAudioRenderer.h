// Audio playback: decodes AAC packets to 16-bit PCM and queues it on the
// chosen output device through a ring of headers, enough for the longest
// latency and a stall's backlog.
#pragma once

#include "codec/CAudioDecoder.h"
#include "core/CCounters.h"
#include "core/SessionContext.h"
#include "levels/CLevelMeter.h"
#include "platform/audio/AudioOut.h"

#include <atomic>
#include <cstdint>
#include <mutex>

class CAudioRenderer {
public:
    // ringHeaders: the ring's size, 2 to kHeaderCount.
    explicit CAudioRenderer(int32_t ringHeaders = kHeaderCount);
    virtual ~CAudioRenderer();
    CAudioRenderer(const CAudioRenderer&) = delete;
    CAudioRenderer& operator=(const CAudioRenderer&) = delete;

    void Open(SessionContext* session);
    // Never waits for the device: a packet whose header is still queued is
    // dropped, so that at most the ring's worth of audio is ever queued.
    void Play(const uint8_t* data, uint32_t length);
    void Close();
    // Left level in the low 16 bits, right in the high 16 bits; 0xFFFF full.
    // Kept here, so that it may be set with no device open; every Open
    // applies it. Any thread.
    uint32_t GetVolume();
    void SetVolume(uint32_t volume);

    struct Counters {
        uint32_t opens = 0;         // Open calls
        uint32_t packets = 0;       // Play calls
        uint32_t queued = 0;        // packets whose PCM went to the device
        uint32_t dropped = 0;       // packets dropped (no PCM, too much, device busy)
        uint32_t closes = 0;        // Close calls
        uint32_t underruns = 0;     // times the device ran dry while playing (a gap, faded)
        uint32_t skips = 0;         // bursts skipped down to the target (cross-faded)
        uint32_t latencyMicros = 0; // audio queued on the device right now
        uint32_t targetMicros = 0;  // the latency the playback is held at
    };
    Counters GetCounters() const;
    // What is played, metered as it is queued (before the volume); open
    // while the device is.
    const CLevelMeter& Meter() const { return meter; }
    // The sound that the last Play queued, in microseconds; 0 when it queued
    // none. The thread that plays.
    uint32_t LastPacketMicros() const { return lastPacketMicros; }
    // How long until sound queued now is heard: the sound queued ahead of
    // it, or while the device waits to start, the latency it starts at.
    uint32_t AheadMicros() const;
    // The ring position the next packet fills.
    int32_t NextHeader() const { return nextHeader.load(std::memory_order_relaxed); }

    // The device holds its queue at the receive latency, following the far
    // clock and skipping bursts with a cross-fade; audio queued beyond the
    // latency and this limit above it (a stall's backlog), which only a
    // device that has stopped taking any can let happen, is dropped.
    static constexpr uint32_t kDefaultQueueLimitMs = 5000;
    // 0 lets the whole ring fill and play as it is, from the next Open.
    void SetQueueLimitMs(uint32_t ms) { queueLimitMs = ms; }
    // The latency the sound is held at, the device's buffer included; 0 for
    // the adaptive one. Any thread; a playing stream follows at once.
    void SetReceiveLatencyMs(uint32_t ms);
    uint32_t ReceiveLatencyMs() const { return receiveLatencyMs.load(std::memory_order_relaxed); }

    static constexpr int32_t kHeaderCount = int32_t(platform::CAudioOut::kRingSize);
    // The most PCM one packet may give. A ring buffer is allocated when its
    // header is first used, at the size of the packet (and grows for a
    // larger one), so an unused ring costs nothing.
    static constexpr uint32_t kBufferBytes = 192000;

private:
    void Release();
    // Puts text on the error line, once per connection.
    void Report(const char16_t* text);
    void FreeBuffers();

    SessionContext* session = nullptr;
    platform::CAudioOut waveOut;
    // Gives header a buffer of at least bytes; false when there is no memory.
    bool Provide(platform::WAVEHDR& header, uint32_t& capacity, uint32_t bytes);

    const int32_t ringSize;
    platform::WAVEHDR headers[kHeaderCount];
    uint32_t capacities[kHeaderCount] = {};
    CAudioDecoder decoder;
    uint8_t pcmBuffer[kBufferBytes];
    std::atomic<uint32_t> queueLimitMs{kDefaultQueueLimitMs};
    std::atomic<uint32_t> receiveLatencyMs{0};
    std::atomic<int32_t> nextHeader{0};
    bool decoderOpen = false;
    bool deviceOpen = false;
    bool reported = false;

    // Orders a volume change from the GUI thread against an Open that
    // applies the kept volume.
    std::mutex volumeLock;
    CLevelMeter meter;
    uint32_t blockAlign = 0;
    uint32_t bytesPerSecond = 0;
    uint32_t lastPacketMicros = 0;
    std::atomic<uint32_t> volume{0xFFFFFFFF};
    // The gauges are the device's, read when asked.
    CCounters<Counters, uint32_t> counters;
};
