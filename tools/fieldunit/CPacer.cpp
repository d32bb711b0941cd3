#include "CPacer.h"

#include <thread>

bool CPacer::Wait(int64_t timeUs, const std::function<bool()>& halted) {
    const auto now = Clock::now();
    if (!started) {
        origin = now - std::chrono::microseconds(timeUs);
        started = true;
    }
    auto due = origin + std::chrono::microseconds(timeUs);
    if (now - due > std::chrono::microseconds(kMaxLagUs)) {
        origin = now - std::chrono::microseconds(timeUs);
        return !halted();
    }
    while (!halted()) {
        auto left = due - Clock::now();
        if (left <= Clock::duration::zero())
            return true;
        std::this_thread::sleep_for(std::min<Clock::duration>(left, std::chrono::milliseconds(50)));
    }
    return false;
}
