// Holds each packet back until its time on the stream clock has come in real
// time. After a stall (the studio not reading) it starts counting again from
// now rather than rushing to catch up.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>

class CPacer {
public:
    CPacer() = default;
    virtual ~CPacer() = default;

    // Waits until timeUs is due. False when halted() became true meanwhile.
    bool Wait(int64_t timeUs, const std::function<bool()>& halted);
    // Makes the next packet due at once and counts from there.
    void Restart() { started = false; }

    // A packet later than this counts as a stall.
    static constexpr int64_t kMaxLagUs = 1000000;

private:
    using Clock = std::chrono::steady_clock;
    bool started = false;
    Clock::time_point origin;
};
