#include "CPacer.h"

#include <algorithm>
#include <thread>

CPacer::CPacer(int clockPpm) : scale(1e6 / (1e6 + clockPpm)) {}

CPacer::Clock::duration CPacer::RealTime(int64_t streamUs) const {
    return std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double, std::micro>(double(streamUs) * scale));
}

bool CPacer::Wait(int64_t timeUs, const std::function<bool()>& halted) {
    const auto now = Clock::now();
    if (!started) {
        origin = now - RealTime(timeUs);
        latestDue = now;
        started = true;
    }
    // Every deadline is counted from the one origin, so a late wake-up
    // delays one packet and never the ones after it.
    const auto due = origin + RealTime(timeUs);
    // Sound leaves a little behind the pictures made at the same time (the
    // encoder's look-ahead): late only counts against the latest time due
    // so far, which the send order follows.
    latestDue = std::max(latestDue, due);
    const int64_t lateUs =
        std::chrono::duration_cast<std::chrono::microseconds>(now - latestDue).count();
    if (lateUs > kLateUs) {
        ++lateCount;
        latestUs = std::max(latestUs, lateUs);
    }
    if (now - due > std::chrono::microseconds(kMaxLagUs)) {
        origin = now - RealTime(timeUs);
        latestDue = now;
        return !halted();
    }
    while (!halted()) {
        const auto at = Clock::now();
        if (at >= due)
            return true;
        std::this_thread::sleep_until(std::min(due, at + std::chrono::milliseconds(kPollMs)));
    }
    return false;
}
