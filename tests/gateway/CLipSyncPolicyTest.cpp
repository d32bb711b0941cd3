// How long pictures are held back for lip sync, with a clock moved by hand:
// the sound is queued some way ahead of the speaker, the operator's offset
// moves the pictures, and the hold-back stays within its limits.
#include "gateway/CLipSyncPolicy.h"
#include "platform/audio/AudioOut.h"

#include <gtest/gtest.h>

namespace {

using Clock = CLipSyncPolicy::Clock;
using std::chrono::microseconds;
using std::chrono::milliseconds;

constexpr int64_t kPacketMicros = 21333; // one AAC frame at 48 kHz
constexpr int64_t kLongest = 2'500'000;

CLipSyncPolicy::Settings On(int32_t offsetMs = 0, int64_t longest = kLongest) {
    return {true, offsetMs, longest};
}

} // namespace

TEST(CLipSyncPolicy, PicturesWaitForTheSoundTheyCameWithMovedByTheOffset) {
    const Clock::time_point t0{std::chrono::seconds(1000)};
    CPictureClock sound;
    // A sound packet queued at t0 behind 180 ms of audio: heard at t0 + 180 ms.
    sound.Sound(t0, 180000, kPacketMicros);

    // Off: due as it arrives, whatever the sound and the offset.
    EXPECT_EQ(CLipSyncPolicy::HoldBackMicros(t0, sound, 0, {false, 300, kLongest}), 0);

    // On: a picture that came with the packet is held by the sound's delay;
    // one that came 10 ms into it is heard 10 ms into it, as long after.
    EXPECT_EQ(CLipSyncPolicy::HoldBackMicros(t0, sound, 0, On()), 180000);
    EXPECT_EQ(CLipSyncPolicy::HoldBackMicros(t0 + milliseconds(10), sound, 0, On()), 180000);
    // The time it takes to reach the window is taken off.
    EXPECT_EQ(CLipSyncPolicy::HoldBackMicros(t0, sound, 30000, On()), 150000);
    // The offset moves it either way; never to before it arrived.
    EXPECT_EQ(CLipSyncPolicy::HoldBackMicros(t0, sound, 0, On(40)), 220000);
    EXPECT_EQ(CLipSyncPolicy::HoldBackMicros(t0, sound, 0, On(-100)), 80000);
    EXPECT_EQ(CLipSyncPolicy::HoldBackMicros(t0, sound, 0, On(-500)), 0);
    EXPECT_EQ(CLipSyncPolicy::HoldBackMicros(t0, sound, 200000, On()), 0);
    // Never longer than the cap, however long the offset.
    EXPECT_EQ(CLipSyncPolicy::HoldBackMicros(t0, sound, 0, On(10000)), kLongest);
    EXPECT_EQ(CLipSyncPolicy::HoldBackMicros(t0, sound, 0, On(0, 100000)), 100000);

    // A picture long after the last sound (a stall) is heard with the start
    // of that packet, which is nearer by the time gone since.
    EXPECT_EQ(CLipSyncPolicy::HoldBackMicros(t0 + milliseconds(150), sound, 0, On()), 30000);
    EXPECT_EQ(CLipSyncPolicy::HoldBackMicros(t0 + milliseconds(400), sound, 0, On()), 0);
}

TEST(CLipSyncPolicy, BeforeAnySoundOnlyTheOffsetAndTheDrawingCount) {
    const Clock::time_point t0{std::chrono::seconds(50)};
    CPictureClock sound;
    EXPECT_EQ(CLipSyncPolicy::HoldBackMicros(t0, sound, 0, On()), 0);
    EXPECT_EQ(CLipSyncPolicy::HoldBackMicros(t0, sound, 0, On(120)), 120000);
    EXPECT_EQ(CLipSyncPolicy::HoldBackMicros(t0, sound, 20000, On(120)), 100000);
    EXPECT_EQ(CLipSyncPolicy::HoldBackMicros(t0, sound, 0, On(-120)), 0);
    // A new connection forgets the last one's sound.
    sound.Sound(t0, 300000, kPacketMicros);
    EXPECT_EQ(CLipSyncPolicy::HoldBackMicros(t0, sound, 0, On()), 300000);
    sound.Reset();
    EXPECT_EQ(CLipSyncPolicy::HoldBackMicros(t0 + milliseconds(5), sound, 0, On()), 0);
}

TEST(CLipSyncPolicy, TheCapFollowsTheReceiveLatencyAndTheDrawingTimeIsSmoothed) {
    EXPECT_EQ(CLipSyncPolicy::LongestHoldBackMicros(150, 500000), 650000);
    EXPECT_EQ(CLipSyncPolicy::LongestHoldBackMicros(5000, 500000), 5500000);
    // Adaptive: its longest.
    EXPECT_EQ(CLipSyncPolicy::LongestHoldBackMicros(0, 500000),
              int64_t(platform::CAudioOut::kLongestAdaptiveMs) * 1000 + 500000);

    // One slow picture moves it a tenth of the way; a steady time is reached.
    double smoothed = 10000;
    smoothed = CLipSyncPolicy::SmoothDrawMicros(smoothed, 110000);
    EXPECT_DOUBLE_EQ(smoothed, 20000);
    for (int i = 0; i < 200; ++i)
        smoothed = CLipSyncPolicy::SmoothDrawMicros(smoothed, 5000);
    EXPECT_NEAR(smoothed, 5000, 1);
}
