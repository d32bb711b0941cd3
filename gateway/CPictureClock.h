// When each picture is to be shown so that it is seen as the sound that came
// with it is heard. The wire carries no timestamps: a picture belongs to the
// sound packet before it, as far into it as it came after it (no further than
// its length), and that sound is heard once the audio queued ahead of it has
// played. A burst after a
// stall brings many sound packets at once, each heard a packet's length after
// the one before: the pictures between them are spread out the same way
// instead of coming all at once.
//
// Plain arithmetic with the time given: tests move the clock by hand.
#pragma once

#include <chrono>
#include <cstdint>

class CPictureClock {
public:
    using Clock = std::chrono::steady_clock;

    // A new connection: nothing heard yet.
    void Reset() { known = false; }
    // A sound packet of durationMicros is queued at now behind aheadMicros of
    // audio (the device's buffer included).
    void Sound(Clock::time_point now, int64_t aheadMicros, int64_t durationMicros);
    // When a picture that arrived then is heard; its arrival before any sound.
    Clock::time_point Heard(Clock::time_point arrival) const;
    // From the arrival of the last sound packet until it is heard.
    int64_t DelayMicros() const;

    // The audio ahead is measured in the steps the device takes it in, so
    // each packet's time is mostly the one before plus its length, nudged by
    // a tenth of what the measure says; beyond this the measure stands (a
    // gap, a skip), at once.
    static constexpr int64_t kSnapMicros = 80000;

private:
    bool known = false;
    Clock::time_point arrived; // of the last sound packet
    Clock::time_point heard;   // its first sample, at the speaker
    int64_t duration = 0;
};
