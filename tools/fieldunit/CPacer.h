// Holds each packet back until its time on the stream clock has come on our
// own clock, which may run fast or slow against real time by a set number
// of parts per million. After a stall (the studio not reading) it starts
// counting again from now rather than rushing to catch up.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>

class CPacer {
public:
    explicit CPacer(int clockPpm = 0);
    virtual ~CPacer() = default;

    // Waits until timeUs is due, and while a stall holds it. False when
    // halted() became true meanwhile.
    bool Wait(int64_t timeUs, const std::function<bool()>& halted);
    // Stalls of lengthUs every everyUs of real time, the first firstUs after
    // the first packet (0: everyUs), count of them (0: for ever): what is
    // due meanwhile waits, then goes at once; the stream clock runs on.
    void SetStalls(int64_t everyUs, int64_t lengthUs, int count, int64_t firstUs = 0);
    // When timeUs of stream time was due on our clock.
    std::chrono::steady_clock::time_point Due(int64_t timeUs) const {
        return origin + RealTime(timeUs);
    }
    // Makes the next packet due at once and counts from there.
    void Restart() { started = false; }

    // Packets that left later than kLateUs after their time (a stall of our
    // own, which the studio meets as one of the network's), and the latest.
    int LateCount() const { return lateCount; }
    int64_t LatestUs() const { return latestUs; }
    static constexpr int64_t kLateUs = 20000;

    // Real time that a span of stream time takes on our clock.
    std::chrono::steady_clock::duration RealTime(int64_t streamUs) const;

    // A packet later than this counts as a stall.
    static constexpr int64_t kMaxLagUs = 1000000;
    // Sleeps are cut into pieces this long, so that a halt is noticed soon.
    static constexpr int kPollMs = 50;

private:
    using Clock = std::chrono::steady_clock;
    bool HoldForStall(const std::function<bool()>& halted);
    double scale; // real seconds per second of stream time
    bool started = false;
    Clock::time_point origin;
    Clock::time_point latestDue;
    // The stalls, counted from the first packet, and the end of the latest.
    int64_t stallEveryUs = 0, stallUs = 0, stallFirstUs = 0;
    int stallCount = 0;
    Clock::time_point first;
    Clock::time_point stallEnd;
    int lateCount = 0;
    int64_t latestUs = 0;
};
