#include "CLipSyncPolicy.h"

#include "platform/audio/AudioOut.h"

#include <algorithm>

int64_t CLipSyncPolicy::HoldBackMicros(Clock::time_point now, const CPictureClock& clock,
                                       double drawMicros, const Settings& settings) {
    if (!settings.on)
        return 0;
    const double heard =
        std::chrono::duration<double, std::micro>(clock.Heard(now) - now).count();
    const double hold = heard + settings.offsetMs * 1000.0 - drawMicros;
    return int64_t(std::clamp(hold, 0.0, double(settings.longestMicros)));
}

int64_t CLipSyncPolicy::LongestHoldBackMicros(uint32_t receiveLatencyMs, int64_t beyondMicros) {
    return int64_t(receiveLatencyMs ? receiveLatencyMs : platform::CAudioOut::kLongestAdaptiveMs) *
               1000 +
           beyondMicros;
}
