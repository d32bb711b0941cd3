#include "CPacer.h"

#include <algorithm>
#include <thread>

CPacer::CPacer(int clockPpm) : scale(1e6 / (1e6 + clockPpm)) {}

void CPacer::SetStalls(int64_t everyUs, int64_t lengthUs, int count, int64_t firstUs) {
    stallEveryUs = everyUs > 0 && lengthUs > 0 ? everyUs : 0;
    stallFirstUs = firstUs > 0 ? firstUs : stallEveryUs;
    stallUs = stallEveryUs ? lengthUs : 0;
    stallCount = count;
}

CPacer::Clock::duration CPacer::RealTime(int64_t streamUs) const {
    return std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double, std::micro>(double(streamUs) * scale));
}

bool CPacer::Wait(int64_t timeUs, const std::function<bool()>& halted) {
    const auto now = Clock::now();
    if (!started) {
        origin = now - RealTime(timeUs);
        latestDue = now;
        if (first == Clock::time_point{})
            first = now;
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
    // What a stall of ours held back is late by design.
    if (lateUs > kLateUs && latestDue >= stallEnd) {
        ++lateCount;
        latestUs = std::max(latestUs, lateUs);
    }
    if (now - due > std::chrono::microseconds(kMaxLagUs + stallUs)) {
        origin = now - RealTime(timeUs);
        latestDue = now;
        return !halted();
    }
    while (!halted()) {
        const auto at = Clock::now();
        if (at >= due)
            return HoldForStall(halted);
        std::this_thread::sleep_until(std::min(due, at + std::chrono::milliseconds(kPollMs)));
    }
    return false;
}

bool CPacer::HoldForStall(const std::function<bool()>& halted) {
    if (!stallEveryUs)
        return true;
    const auto every = std::chrono::microseconds(stallEveryUs);
    const auto since = Clock::now() - first - std::chrono::microseconds(stallFirstUs);
    if (since < Clock::duration::zero())
        return true;
    const auto k = since / every; // the stall of this interval, from 0
    if (stallCount > 0 && k >= stallCount)
        return true;
    const auto end = first + std::chrono::microseconds(stallFirstUs) + k * every +
                     std::chrono::microseconds(stallUs);
    if (Clock::now() >= end)
        return true;
    stallEnd = end;
    while (!halted()) {
        const auto at = Clock::now();
        if (at >= end)
            return true;
        std::this_thread::sleep_until(std::min(end, at + std::chrono::milliseconds(kPollMs)));
    }
    return false;
}
