// Wave-style audio output: a device opened in a 16-bit PCM format, fed
// through a ring of prepared headers that the device plays in the order they
// were written, marking each done when it has been played. The queue is held
// at a small target by resampling with a ratio that follows it, so that a far
// clock running fast or slow is followed without gaps or drops; a stall that
// empties it fades out and in, and a burst too large to absorb is skipped
// with a cross-fade.
#pragma once

#include "AudioStream.h"
#include "PlayoutControl.h"
#include "RateResampler.h"
#include "platform/WaveFormat.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

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

class CAudioOut : private CPlaybackSource {
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

    // A live stream: the queue is held at its target by resampling, a start
    // from dry waits for the target, and a burst too large to absorb is
    // skipped. Otherwise everything written plays as it is, at its own rate.
    // Set before Open.
    void SetLive(bool live) { this->live = live; }
    // The latency a live stream is held at, the device's own buffer
    // included, in milliseconds; 0 for the adaptive one. Any time: a running
    // stream follows within a period.
    void SetLatencyMs(uint32_t ms) { latencyMs.store(ms, std::memory_order_relaxed); }
    // The adaptive latency grows no further than this.
    static constexpr uint32_t kLongestAdaptiveMs = 2000;

    // Figures of the stream: bytes written and not yet handed to the device,
    // the device's own buffer, and how often it ran dry while playing.
    uint32_t QueuedBytes() const { return queuedBytes.load(std::memory_order_relaxed); }
    uint32_t DeviceBufferFrames() const { return deviceFrames.load(std::memory_order_relaxed); }
    // Queued bytes plus the device buffer, as time; 0 when closed.
    double LatencyMs() const;
    uint32_t Underruns() const { return underruns.load(std::memory_order_relaxed); }
    // Waiting, from dry, for the target to be queued before playing on.
    bool Starving() const { return IsOpen() && starving.load(std::memory_order_relaxed); }
    // Times a burst was skipped down to the target.
    uint32_t Skips() const { return skips.load(std::memory_order_relaxed); }
    // The resampling ratio of the last period: input frames per output frame.
    double Ratio() const { return ratio.load(std::memory_order_relaxed); }
    // The queue the playback holds while it runs, in milliseconds.
    double TargetMs() const;
    // The same with the device's buffer: the latency the stream is held at.
    double TargetLatencyMs() const;

    // Headers the ring holds at most: the longest latency and a stall's
    // backlog, in packets of 1024 frames at 48 kHz.
    static constexpr uint32_t kRingSize = 512;
    // How much the device is asked for at a time, and how much it holds
    // ahead of the speaker: enough to ride out a busy machine's scheduling
    // (the sound server grants a little less than asked, about 80 ms here).
    static constexpr uint32_t kPeriodFrames = 512;
    static constexpr uint32_t kDeviceFrames = 4096;
    // Fades that hide a gap filled or a burst skipped.
    static constexpr uint32_t kFadeMs = 5;

private:
    void Pull(uint8_t* out, uint32_t bytes) override;
    void Fill(int16_t* out, uint32_t frames);
    // Reads bytes of the queue starting offset bytes after the play position,
    // without consuming them; writes them back when store is set.
    void Visit(uint32_t offset, uint8_t* data, uint32_t bytes, bool store);
    void Consume(uint32_t bytes);
    // Fades in after a start from dry, and out where the queue runs dry:
    // made frames of frames were filled, left remain queued.
    void FadeEdges(int16_t* out, uint32_t made, uint32_t frames, uint32_t left);
    void SkipWithCrossFade(uint32_t frames);
    void ApplyGain(int16_t* samples, uint32_t count) const;
    // The queue that, with the device's buffer, makes ms of latency.
    uint32_t QueueFramesFor(uint32_t ms) const;
    void ReturnQueued();

    std::unique_ptr<CAudioStream> stream;
    uint32_t deviceId = 0; // non-zero while open
    uint16_t channels = 0;
    uint32_t rate = 0;
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

    // The device callback's own state.
    CPlayoutControl control;
    CRateResampler resampler;
    std::vector<int16_t> input; // what the resampler reads this period
    std::vector<int16_t> fadeBuffer;
    uint32_t fadeFrames = 0;
    uint32_t fadeInLeft = 0;
    uint32_t deferrals = 0; // frames of silence played with some audio queued
    bool live = false;
    uint32_t appliedLatencyMs = 0;

    std::atomic<uint32_t> volume{0xFFFFFFFF};
    std::atomic<uint32_t> latencyMs{0};
    std::atomic<uint32_t> queuedBytes{0};
    std::atomic<uint32_t> underruns{0};
    std::atomic<uint32_t> skips{0};
    std::atomic<double> ratio{1.0};
    std::atomic<uint32_t> targetFrames{0};
    // The longest header written since Open, in frames.
    std::atomic<uint32_t> largestWrite{0};
    std::atomic<bool> starving{true};
};

} // namespace platform
