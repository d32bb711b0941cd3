// Wave-style audio output over SDL: a device opened in a 16-bit PCM format,
// fed through a ring of prepared headers that the device plays in the order
// they were written, without gaps while any is queued, marking each done when
// it has been played.
#pragma once

#include "SdlAudio.h"
#include "WaveFormat.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

namespace platform {

constexpr uint32_t WHDR_DONE = 0x01;     // played, or returned by a reset
constexpr uint32_t WHDR_PREPARED = 0x02; // may be written to the device
constexpr uint32_t WHDR_INQUEUE = 0x10;  // held by the device

// One buffer of PCM handed to the device. The caller owns the record and its
// data; while WHDR_INQUEUE is set the device reads the data and the caller
// must leave both alone.
struct WAVEHDR {
    uint8_t* lpData = nullptr;
    uint32_t dwBufferLength = 0;
    // Written by the device's callback thread while the header is queued.
    std::atomic<uint32_t> dwFlags{0};
};

class CAudioOut {
public:
    CAudioOut();
    virtual ~CAudioOut(); // closes the device if open
    CAudioOut(const CAudioOut&) = delete;
    CAudioOut& operator=(const CAudioOut&) = delete;

    // Output devices in device order, by the names the desktop shows.
    static int32_t DeviceCount();
    static std::string DeviceName(int32_t index); // empty when out of range
    // The index of the output device with exactly this name, or -1.
    static int32_t FindDevice(const std::string& name);

    // Opens device index (-1: the system default) for 16-bit PCM in format,
    // converting to what the device takes. Non-zero on success.
    uint32_t Open(int32_t device, const WAVEFORMATEX& format);
    // Stops at once, returns every header, releases the device.
    void Close();
    bool IsOpen() const { return deviceId != 0; }

    uint32_t Prepare(WAVEHDR* header);
    // Fails while the header is queued.
    uint32_t Unprepare(WAVEHDR* header);
    // Queues a prepared header that is not queued yet, behind those already
    // queued. Never blocks.
    uint32_t Write(WAVEHDR* header);
    // Stops playback at once and marks every queued header done.
    void Reset();

    // Left level in the low 16 bits, right in the high 16 bits, 0xFFFF unity;
    // applied as a gain on the samples. Kept while closed.
    void SetVolume(uint32_t volume) { this->volume.store(volume, std::memory_order_relaxed); }
    uint32_t GetVolume() const { return volume.load(std::memory_order_relaxed); }

    // Figures of the stream: bytes written and not yet handed to the device,
    // the device's own buffer, and how often it ran dry while playing.
    uint32_t QueuedBytes() const { return queuedBytes.load(std::memory_order_relaxed); }
    uint32_t DeviceBufferFrames() const { return deviceFrames.load(std::memory_order_relaxed); }
    // Queued bytes plus the device buffer, as time; 0 when closed.
    double LatencyMs() const;
    uint32_t Underruns() const { return underruns.load(std::memory_order_relaxed); }

    // Headers the ring holds at most.
    static constexpr uint32_t kRingSize = 64;
    // The device buffer asked for, in frames: smaller buffers let a monitor of
    // the same sink fall behind real time.
    static constexpr uint16_t kDeviceFrames = 1024;
    // A start from dry waits for two periods queued, one more after every
    // underrun, up to this many: the jitter buffer grows only as far as the
    // stream's jitter has shown it must.
    static constexpr uint32_t kMaxPrefillPeriods = 4;

private:
    static void Callback(void* self, uint8_t* stream, int length);
    void Fill(uint8_t* stream, uint32_t length);
    void ApplyGain(int16_t* samples, uint32_t count) const;
    void ReturnQueued();

    CSdlAudio sdl;
    uint32_t deviceId = 0;
    uint16_t channels = 0;
    // Read by the benchmark's thread while the worker opens and closes.
    std::atomic<uint32_t> deviceFrames{0};
    std::atomic<uint32_t> bytesPerSec{0};
    std::atomic<uint32_t> blockAlign{0};

    // Writers (Write, Reset, Close) are serialised among themselves; the
    // device callback never takes this lock.
    std::mutex writerLock;
    // Single-producer, single-consumer ring: head moves on Write, tail in the
    // callback.
    std::atomic<WAVEHDR*> ring[kRingSize] = {};
    std::atomic<uint32_t> head{0};
    std::atomic<uint32_t> tail{0};
    // Bytes of the header at tail already played.
    std::atomic<uint32_t> offset{0};
    // Orders a reset against the callback it excluded through the device lock.
    std::atomic<uint32_t> handshake{0};

    std::atomic<uint32_t> volume{0xFFFFFFFF};
    std::atomic<uint32_t> queuedBytes{0};
    std::atomic<uint32_t> underruns{0};
    std::atomic<bool> starving{true};
    // Periods a start from dry has waited so far for the queue to fill.
    std::atomic<uint32_t> deferrals{0};
};

} // namespace platform
