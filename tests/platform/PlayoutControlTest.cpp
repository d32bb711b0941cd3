// The playback queue's rate control, driven period by period by a clock moved
// by hand: a far clock that runs fast or slow, a network stall and burst. The
// queue is played through the real resampler, so what it consumes is what the
// ratio asked for only if the resampler took the ratio.
#include "platform/audio/PlayoutControl.h"
#include "platform/audio/RateResampler.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

using platform::CPlayoutControl;

namespace {

constexpr uint32_t kRate = 44100;
constexpr uint32_t kPeriod = 512;   // what the device asks for at a time
constexpr uint32_t kPacket = 1024;  // what arrives at a time

// A far end that sends a packet whenever its clock has made one, and a device
// that takes kPeriod frames of output each period through the resampler.
struct Link {
    Link() { EXPECT_TRUE(resampler.Open(1, kRate, 0.01)); }
    CPlayoutControl control;
    platform::CRateResampler resampler;
    std::vector<int16_t> in = std::vector<int16_t>(2 * kPeriod, 1000);
    std::vector<int16_t> out = std::vector<int16_t>(2 * kPeriod);
    uint32_t period = kPeriod; // what the device takes each period
    double drift = 0.0;   // the far clock runs this much fast (0.005 = 0.5 %)
    double sent = 0.0;    // frames the far end has made, in its frames
    double queued = 0.0;  // frames waiting to be played
    double lowest = 1e9, highest = 0.0;
    double lastRatio = 1.0;
    int underruns = 0, skips = 0;
    bool starving = false;

    // Runs the link for seconds; the far end stalls while stalled() is true
    // and then sends what it held back all at once.
    template <typename Stalled> void Run(double seconds, Stalled stalled) {
        const int periods = static_cast<int>(seconds * kRate / period);
        for (int p = 0; p < periods; ++p) {
            sent += period * (1.0 + drift);
            while (!stalled(p) && sent >= kPacket) {
                sent -= kPacket;
                queued += kPacket;
            }
            auto q = static_cast<uint32_t>(queued);
            // From dry, the device plays silence until the target is in hand.
            if (starving && !control.ReadyToStart(q)) {
                control.Dry(period);
                continue;
            }
            starving = false;
            if (uint32_t skip = control.SkipFrames(q)) {
                queued -= skip;
                control.Skipped();
                ++skips;
                q = static_cast<uint32_t>(queued);
            }
            lastRatio = control.Ratio(q, period);
            resampler.SetRatio(lastRatio);
            uint32_t take = std::min(q, static_cast<uint32_t>(std::ceil(period * lastRatio)) + 16);
            uint32_t made = period;
            resampler.Process(in.data(), take, out.data(), made);
            queued -= take;
            if (made == period)
                control.Left(static_cast<uint32_t>(queued));
            if (made < period) {
                queued = 0;
                resampler.Reset();
                starving = true;
                ++underruns;
                control.Underrun();
            }
            lowest = std::min(lowest, queued);
            highest = std::max(highest, queued);
        }
    }
    void Run(double seconds) {
        Run(seconds, [](int) { return false; });
    }
    double Ms(double frames) const { return frames * 1000.0 / kRate; }
};

TEST(PlayoutControlTest, FollowsAFarClockHalfAPercentOffWithoutGapsOrSkips) {
    for (double drift : {0.005, -0.005}) {
        Link link;
        link.drift = drift;
        link.queued = link.control.TargetFrames();
        link.Run(60.0);
        EXPECT_EQ(link.underruns, 0) << drift;
        EXPECT_EQ(link.skips, 0) << drift;
        // Within the 1 % the pitch may move, the ratio settles on the drift.
        EXPECT_NEAR(link.lastRatio, 1.0 + drift, 0.001) << drift;
        const double target = link.control.TargetFrames();
        // While the loop finds the drift, with a packet's step on top.
        EXPECT_LT(std::abs(link.Ms(link.lowest - target)), 60.0) << drift;
        EXPECT_LT(std::abs(link.Ms(link.highest - target)), 60.0) << drift;

        // Settled, the queue stays at its target.
        link.lowest = 1e9;
        link.highest = 0;
        link.Run(60.0);
        EXPECT_GT(link.Ms(link.lowest - target), -30.0) << drift;
        EXPECT_LT(link.Ms(link.highest - target), 30.0) << drift;
    }
}

TEST(PlayoutControlTest, AnHourAtAHundredPpmStaysWithinMillisecondsOfTheTarget) {
    Link link;
    link.drift = 100e-6;
    link.queued = link.control.TargetFrames();
    link.Run(60.0);
    link.lowest = 1e9;
    link.highest = 0;
    link.Run(3600.0);
    const double target = link.control.TargetFrames();
    EXPECT_EQ(link.underruns + link.skips, 0);
    EXPECT_LT(std::abs(link.Ms(link.lowest - target)), 20.0);
    EXPECT_LT(std::abs(link.Ms(link.highest - target)), 20.0);
}

// Stalls of ms every so many seconds, the first one period after the call.
auto Stalls(double everySeconds, double ms) {
    return [=](int p) {
        const int every = static_cast<int>(everySeconds * kRate / kPeriod);
        const int length = static_cast<int>(ms / 1000.0 * kRate / kPeriod);
        return p % every < length && p >= 1;
    };
}

TEST(PlayoutControlTest, AfterAGapTheTargetRidesOutTheNextStallOfItsLengthThenWindsBack) {
    Link link;
    link.queued = link.control.TargetFrames();
    const uint32_t before = link.control.TargetFrames();
    link.Run(2.0);
    // Half a second without a packet, then all of it at once: one gap, and
    // the target now holds a stall that long, so the burst is not skipped.
    link.Run(2.0, Stalls(10.0, 500));
    EXPECT_EQ(link.underruns, 1);
    EXPECT_GT(link.Ms(link.control.TargetFrames()), 500.0);
    EXPECT_EQ(link.skips, 0);
    // The same stalls again, and shorter ones for longer than the calm
    // takes: no gap, and the target is held while they go on.
    const uint32_t grown = link.control.TargetFrames();
    link.Run(80.0, Stalls(10.0, 400));
    EXPECT_GE(link.control.TargetFrames(), grown);
    link.Run(60.0, Stalls(10.0, 500));
    EXPECT_EQ(link.underruns, 1);
    EXPECT_EQ(link.skips, 0);
    const uint32_t held = link.control.TargetFrames();
    // Calm for half a minute (the last stall came 9.5 s before the end of
    // that run) the target holds, then winds back to its base within the
    // minute after, gently enough to need no skip.
    link.Run(19.0);
    EXPECT_EQ(link.control.TargetFrames(), held);
    link.Run(31.0);
    EXPECT_LT(link.control.TargetFrames(), held);
    EXPECT_GT(link.control.TargetFrames(), before);
    link.Run(31.0);
    EXPECT_EQ(link.control.TargetFrames(), before);
    EXPECT_EQ(link.underruns + link.skips, 1);

    // Short stalls every five seconds cost the first gap only; a stall
    // beyond the largest target grows it no further.
    Link shorter;
    shorter.queued = shorter.control.TargetFrames();
    shorter.Run(60.0, Stalls(5.0, 250));
    EXPECT_EQ(shorter.underruns, 1);
    shorter.Run(10.0, Stalls(10.0, 4000));
    EXPECT_EQ(shorter.control.TargetFrames(), CPlayoutControl::Settings{}.maxTargetFrames);
}

TEST(PlayoutControlTest, AChosenTargetRidesOutShorterStallsAndNeverMoves) {
    Link link;
    const uint32_t chosen = kRate * 700 / 1000;
    link.control.SetFixedFrames(chosen);
    EXPECT_TRUE(link.control.Fixed());
    link.queued = chosen;
    link.Run(60.0, Stalls(10.0, 500));
    EXPECT_EQ(link.underruns + link.skips, 0);
    EXPECT_EQ(link.control.TargetFrames(), chosen);
    // A longer one runs dry; the burst beyond the margin is skipped back
    // down to the chosen latency, which stays.
    link.Run(10.0, Stalls(20.0, 1200));
    EXPECT_EQ(link.underruns, 1);
    EXPECT_EQ(link.skips, 1);
    link.Run(120.0);
    EXPECT_EQ(link.control.TargetFrames(), chosen);
    EXPECT_NEAR(link.Ms(link.control.SmoothedFrames()), 700.0, 15.0);

    // Back to adaptive: from its base.
    link.control.SetFixedFrames(0);
    EXPECT_FALSE(link.control.Fixed());
    EXPECT_EQ(link.control.TargetFrames(), CPlayoutControl::Settings{}.targetFrames);
}

TEST(PlayoutControlTest, SoundSentInClumpsAtPictureTimesNeverRunsDry) {
    // A sender that sends what its encoder has made at each picture, 30 a
    // second, so one or two packets at a time; its clock 0.5 % slow, one
    // picture in sixty 15 ms late; a device that takes 15 ms at a time.
    Link link;
    link.drift = -0.005;
    link.period = 665;
    const double tick = kRate / 30.0, late = 0.015 * kRate;
    auto waiting = [&](int p) {
        const double from = p * link.period * (1.0 + link.drift);
        const double to = from + link.period * (1.0 + link.drift);
        for (auto k = static_cast<int64_t>(from / tick) - 1; k * tick <= to; ++k) {
            const double at = k * tick + (k % 60 == 59 ? late : 0.0);
            if (at > from && at <= to)
                return false;
        }
        return true;
    };
    link.queued = link.control.TargetFrames();
    const uint32_t before = link.control.TargetFrames();
    link.Run(120.0, waiting);
    EXPECT_EQ(link.underruns, 0);
    EXPECT_EQ(link.skips, 0);
    // The target grew to hold the dips clear of the floor, and no further
    // than one step of an underrun.
    EXPECT_GT(link.control.TargetFrames(), before);
    EXPECT_LT(link.Ms(link.control.TargetFrames() - before), 40.0);
}

TEST(PlayoutControlTest, LargePacketsRaiseTheTargetAndAreNeverSkipped) {
    CPlayoutControl control;
    const uint32_t big = kRate; // a second of audio in one packet
    control.SetArrivalFrames(big);
    EXPECT_GE(control.TargetFrames(), big);
    EXPECT_FALSE(control.ReadyToStart(big - 1));
    EXPECT_EQ(control.SkipFrames(2 * big), 0u);
    EXPECT_GT(control.SkipFrames(5 * big), 0u);
}

} // namespace
