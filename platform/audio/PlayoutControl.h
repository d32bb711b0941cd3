// How fast to play a queue of received audio so that it stays at its target:
// the far clock and ours never run at quite the same rate, so playback follows
// the queue by resampling (a few tenths of a percent at most) instead of
// running dry or dropping audio. Also decides when a start from dry has
// waited enough and when a burst is too much to absorb by resampling alone.
//
// The target is either the operator's, held whatever the network does, or
// adaptive: after a gap it grows to ride out a stall as long as the one just
// seen, and once the network has been calm for a while it winds back to its
// base.
//
// Plain arithmetic, called once per device period: tests drive it by hand.
#pragma once

#include <cstdint>

namespace platform {

class CPlayoutControl {
public:
    struct Settings {
        uint32_t rate = 44100;            // frames per second of the queue
        uint32_t targetFrames = 2646;     // the queue held after a start (60 ms)
        uint32_t targetStepFrames = 1764; // the least an underrun adds to the target (40 ms)
        uint32_t maxTargetFrames = 88200; // the target grows no further (2 s)
        uint32_t skipAboveFrames = 11025; // above target + this, skip down near target (250 ms)
        uint32_t floorFrames = 1102;      // a period leaving less was a near miss (25 ms)
        double maxCorrection = 0.01;      // the ratio stays within 1 +- this
        // A target grown by underruns winds back to its base after so long
        // without one, evenly over windDownSeconds, so that one bad minute
        // does not cost latency for the rest of the day.
        double calmSeconds = 30.0;
        double windDownSeconds = 60.0;
        // Non-zero: the target the operator chose, which neither grows nor
        // winds back.
        uint32_t fixedFrames = 0;
    };

    CPlayoutControl() { Reset(Settings{}); }
    explicit CPlayoutControl(const Settings& s) { Reset(s); }

    // A new stream: the target and the loop start again.
    void Reset(const Settings& s);

    // While starting from dry: whether queued frames are enough to begin.
    // The first audio after a gap ends the stall that made it: an adaptive
    // target grows to hold what was in hand and the gap, with the floor on top.
    bool ReadyToStart(uint32_t queuedFrames);
    // Silence was played for want of audio since an underrun.
    void Dry(uint32_t frames);

    // Frames to skip now (with a cross-fade) because a burst left far too much
    // queued, down to a little above the target; 0 in all ordinary cases.
    uint32_t SkipFrames(uint32_t queuedFrames) const;

    // The input frames to consume per output frame for the next period of
    // periodFrames, given the frames queued at its start. Above 1 plays the
    // queue faster than real time.
    double Ratio(uint32_t queuedFrames, uint32_t periodFrames);

    // The queue ran dry while playing: keep more in hand from now on.
    void Underrun();

    // A period has been played and left this many frames queued. Less than
    // half a grown target is a stall ridden out, which holds the target as
    // an underrun would. Below the floor, the dips of this stream (a sender
    // that sends its sound in clumps, a late wake-up) come too near to
    // running dry: the target grows to hold the deepest one above the floor,
    // before a deeper one is heard.
    void Left(uint32_t leftFrames);

    // After a skip the loop starts again from the target; the little kept
    // above it unwinds gently.
    void Skipped();

    // The largest piece of audio that arrives at once: the queue must hold
    // more than that to play through the wait for the next, and may hold up
    // to twice that before anything is skipped.
    void SetArrivalFrames(uint32_t frames);

    // 0 goes back to the adaptive target, from its base.
    void SetFixedFrames(uint32_t frames);
    bool Fixed() const { return settings.fixedFrames != 0; }

    uint32_t TargetFrames() const { return Target(); }
    // The queue as the loop sees it, smoothed; in frames.
    double SmoothedFrames() const { return smoothed; }

private:
    Settings settings;
    uint32_t Target() const;
    void ResetCalm();
    uint32_t target = 0; // the base target, grown by underruns
    uint32_t arrival = 0;
    uint32_t windFrom = 0; // the target when winding back began; 0 while not
    // Since the last underrun, until audio comes again: what was in hand when
    // the stall began and the silence played since.
    bool stalled = false;
    uint32_t stallInHand = 0;
    uint64_t dry = 0;
    double smoothed = -1.0; // < 0 until the first period
    double integral = 0.0;  // seconds x seconds
    double correction = 0.0;
    double calm = 0.0; // seconds since the last underrun or near miss
};

} // namespace platform
