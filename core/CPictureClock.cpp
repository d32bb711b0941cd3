#include "CPictureClock.h"

#include <cstdlib>

using std::chrono::microseconds;

void CPictureClock::Sound(Clock::time_point now, int64_t ahead, int64_t length) {
    const Clock::time_point measured = now + microseconds(ahead);
    if (known) {
        // Played on without a break, it follows the packet before.
        const Clock::time_point following = heard + microseconds(duration);
        const int64_t off = std::chrono::duration_cast<microseconds>(measured - following).count();
        heard = std::llabs(off) > kSnapMicros ? measured : following + microseconds(off / 10);
    } else {
        heard = measured;
    }
    known = true;
    arrived = now;
    duration = length > 0 ? length : 0;
}

CPictureClock::Clock::time_point CPictureClock::Heard(Clock::time_point arrival) const {
    if (!known)
        return arrival;
    return heard + (arrival - arrived);
}

int64_t CPictureClock::DelayMicros() const {
    return known ? std::chrono::duration_cast<microseconds>(heard - arrived).count() : 0;
}
