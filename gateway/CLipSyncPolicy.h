// How long a picture is held back so that it is seen as the sound that came
// with it is heard: until that sound is heard, moved by the operator's
// offset, less the time pictures take from arrival to the window. Never less
// than nothing, never longer than the receive latency in force allows.
//
// Plain arithmetic with the time given: tests move the clock by hand.
#pragma once

#include "CPictureClock.h"

#include <chrono>
#include <cstdint>

class CLipSyncPolicy {
public:
    using Clock = CPictureClock::Clock;
    struct Settings {
        bool on = false;
        int32_t offsetMs = 0;      // positive: pictures later
        int64_t longestMicros = 0; // the hold-back's cap
    };

    // For a picture that arrives now: the sound's timing from clock, and
    // the pictures' smoothed delay from arrival to the window.
    static int64_t HoldBackMicros(Clock::time_point now, const CPictureClock& clock,
                                  double drawMicros, const Settings& settings);
    // The cap: the receive latency in force (0 for the adaptive one, whose
    // longest then counts) and beyondMicros on top.
    static int64_t LongestHoldBackMicros(uint32_t receiveLatencyMs, int64_t beyondMicros);
    // The pictures' delay to the window, smoothed over the last ten or so.
    static double SmoothDrawMicros(double smoothed, double tookMicros) {
        return smoothed + (tookMicros - smoothed) * 0.1;
    }
};
