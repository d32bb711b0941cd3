// What the operator's alarms need to know of the picture: when it last
// changed, and since when it has been black. Each decoded picture's luma is
// looked at in small blocks on a fixed grid, whatever its size, so that a
// picture costs some tens of microseconds even at 1080p. Fed on the one
// thread that decodes and read on any other: the feeding thread never
// allocates and never waits.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>

class CPictureMeter {
public:
    using Clock = std::chrono::steady_clock;

    // The grid, and the side of its blocks, on the codec's transform blocks.
    static constexpr int kColumns = 64;
    static constexpr int kRows = 36;
    static constexpr int kBlock = 8;
    // A picture whose blocks differ from those of the one before by less
    // than this on average, in 8-bit levels, is the same picture. Compared
    // as block averages, the detail that the coder keeps refining in a
    // repeated picture weighs a tenth or two of a level, a small object
    // moving half a level or more (libx264 at the field unit's settings,
    // 240p to 1080p, fine texture at low bit rates).
    static constexpr float kStillDifference = 0.3f;
    // A key frame codes the picture afresh: a repeated picture then differs
    // by up to about 0.8.
    static constexpr float kRecodedDifference = 1.5f;
    // Black: the brightest pixel of at least this share of the blocks lies
    // below the black level.
    static constexpr float kBlackShare = 0.98f;

    CPictureMeter() = default;
    virtual ~CPictureMeter() = default;
    CPictureMeter(const CPictureMeter&) = delete;
    CPictureMeter& operator=(const CPictureMeter&) = delete;

    // One picture's luma plane, rows stride bytes apart, taken up at now;
    // keyFrame when it came from a key frame. blackLevel is in percent of
    // the range from black to white (limited or full range, as the picture
    // signals); 0 counts no picture as black.
    void Feed(const uint8_t* luma, int32_t stride, int32_t width, int32_t height, bool fullRange,
              bool keyFrame, float blackLevel, Clock::time_point now);

    struct Reading {
        uint64_t pictures = 0; // fed so far
        // The newest picture that differed from the ones before it.
        std::optional<Clock::time_point> changed;
        // The first of the unbroken run of black pictures that ends with the
        // newest; none when the newest is not black.
        std::optional<Clock::time_point> darkSince;
        // Of the newest: the level, in percent, below which the brightest
        // pixels of kBlackShare of its blocks lie.
        float level = 0;
    };
    // Any thread.
    Reading Read() const;

private:
    static constexpr int kBlocks = kColumns * kRows;
    static constexpr int64_t kNever = INT64_MIN;

    // The feeding thread's own: the block averages of the picture before.
    std::array<float, kBlocks> previous{};
    int32_t previousWidth = 0, previousHeight = 0;
    bool dark = false;

    std::atomic<uint64_t> pictures{0};
    std::atomic<int64_t> changedAt{kNever}; // steady clock, nanoseconds
    std::atomic<int64_t> darkAt{kNever};
    std::atomic<float> level{0};
};
