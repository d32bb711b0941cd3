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
    // A picture that comes later than the next sound packet was due was held
    // up with it (a stall): it was made within the last one all the same, and
    // where in it is as unknown as for every picture of the burst that
    // follows, which come right behind their sound: each is taken at the
    // start of its packet. With no sound coming at all it is late, and shown
    // as it comes.
    const Clock::duration in = arrival - arrived;
    return in <= microseconds(duration) ? heard + in : heard;
}

int64_t CPictureClock::DelayMicros() const {
    return known ? std::chrono::duration_cast<microseconds>(heard - arrived).count() : 0;
}
