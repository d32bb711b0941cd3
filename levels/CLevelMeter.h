// The level of a sound for the operator's meters: for each channel the sample
// peak, held for a few seconds, and the momentary loudness (EBU R128, the
// last 400 ms), in dBFS and LUFS. Fed on the one thread that decodes or
// captures the sound and read on any other: the feeding thread never
// allocates and never waits for a reader.
#pragma once

#include <ebur128.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>

class CLevelMeter {
public:
    using Clock = std::chrono::steady_clock;

    // Further channels are fed through but not metered.
    static constexpr int32_t kMaxChannels = 2;
    // What silence reads, digital or none at all; lower levels read this too.
    static constexpr float kFloor = -120.0f;
    // Levels are published at the end of every block of sound fed.
    static constexpr std::chrono::milliseconds kBlock{100};
    // The peak is the highest sample of the last 400 ms (the momentary
    // window), the hold the highest of the last 3 s.
    static constexpr int kPeakBlocks = 4;
    static constexpr int kHoldBlocks = 30;
    // A meter not fed for this long reads silence: the sound has stopped
    // coming, which the operator must see as much as a silent source.
    static constexpr std::chrono::milliseconds kStaleAfter{500};

    CLevelMeter();
    virtual ~CLevelMeter();
    CLevelMeter(const CLevelMeter&) = delete;
    CLevelMeter& operator=(const CLevelMeter&) = delete;

    // For interleaved signed 16-bit sound of this format; allocates, so it is
    // called before feeding starts. False when the format cannot be metered,
    // and the meter then reads as closed.
    bool Open(int32_t sampleRate, int32_t channels);
    // Frames of interleaved signed 16-bit samples in the opened format, at
    // any alignment. Nothing is done while the meter is closed.
    void Feed(const void* samples, uint32_t frames);
    // Reads as closed from now on. On the feeding thread, or once it has stopped.
    void Close();

    struct Channel {
        float peak = kFloor;     // dBFS
        float hold = kFloor;     // dBFS
        float loudness = kFloor; // LUFS
    };
    struct Reading {
        bool open = false; // a sound is being metered
        bool live = false; // and was fed within kStaleAfter
        int32_t channels = 0;
        std::array<Channel, kMaxChannels> channel{};
    };
    // Any thread.
    Reading Read(Clock::time_point now = Clock::now()) const;

    // 20 log10 of a fraction of full scale, never below kFloor.
    static float Decibels(double fraction);

private:
    void EndBlock();
    void Release();

    // One state per channel, each counted as dual mono: a tone in one channel
    // reads the loudness that the programme has when both channels carry it.
    std::array<ebur128_state*, kMaxChannels> states{};
    int32_t channels = 0; // interleaved in what is fed
    int32_t metered = 0;  // of those, the first ones metered
    uint32_t blockFrames = 0;
    uint32_t framesInBlock = 0;
    // Linear sample peaks of the last kHoldBlocks blocks, and of the block
    // being fed.
    std::array<std::array<float, kHoldBlocks>, kMaxChannels> blockPeaks{};
    std::array<float, kMaxChannels> currentPeak{};
    int blockIndex = 0;
    // One channel at a time is handed to its state.
    static constexpr uint32_t kScratchFrames = 1024;
    std::array<int16_t, kScratchFrames> scratch{};

    struct Published {
        std::atomic<float> peak{kFloor}, hold{kFloor}, loudness{kFloor};
    };
    std::array<Published, kMaxChannels> published;
    std::atomic<int32_t> publishedChannels{0}; // 0 while closed
    std::atomic<int64_t> lastFed{0};           // steady clock, nanoseconds
};
