#include "PlayoutControl.h"

#include <algorithm>

namespace platform {

namespace {

// The queue level is seen through a half-second smoothing: packets arrive in
// steps of a frame's worth and with network jitter, and neither should move
// the pitch by more than a hundredth of a percent.
constexpr double kSmoothingSeconds = 0.5;
// A critically damped loop with a time constant of about five seconds: the
// pitch moves by tenths of a percent at most, and a 0.5 % clock difference
// takes the queue no more than about 11 ms from its target while the loop
// finds it (a packet's step comes on top), 100 ppm a fraction of a
// millisecond. A slower loop let a slow far clock take the queue dry.
constexpr double kProportional = 0.37; // per second of queue error
constexpr double kIntegral = 0.034;    // per second of error, per second

} // namespace

void CPlayoutControl::Reset(const Settings& s) {
    settings = s;
    target = std::min(s.targetFrames, s.maxTargetFrames);
    arrival = 0;
    smoothed = -1.0;
    integral = 0.0;
    correction = 0.0;
    calm = 0.0;
}

uint32_t CPlayoutControl::Target() const {
    return std::max(target, arrival + arrival / 2);
}

void CPlayoutControl::SetArrivalFrames(uint32_t frames) {
    arrival = frames;
}

uint32_t CPlayoutControl::SkipFrames(uint32_t queued) const {
    const uint32_t goal = Target();
    if (queued <= goal + std::max(settings.skipAboveFrames, 2 * arrival))
        return 0;
    // The floor's worth is kept above the target: the packet after a burst
    // may come a clump's time later, and the periods played meanwhile should
    // not start the stream on a near miss. The loop unwinds it.
    const uint32_t keep = goal + settings.floorFrames;
    return queued > keep ? queued - keep : 0;
}

double CPlayoutControl::Ratio(uint32_t queued, uint32_t periodFrames) {
    if (settings.rate == 0 || periodFrames == 0)
        return 1.0;
    const double dt = double(periodFrames) / settings.rate;
    calm += dt;
    if (calm >= settings.calmSeconds && target > settings.targetFrames) {
        calm = 0.0;
        target = std::max(settings.targetFrames, target - settings.targetStepFrames / 4);
    }
    if (smoothed < 0)
        smoothed = queued;
    else
        smoothed += (double(queued) - smoothed) * std::min(1.0, dt / kSmoothingSeconds);
    const double error = (smoothed - Target()) / settings.rate; // seconds
    const double limit = settings.maxCorrection;
    double candidate = kProportional * error + kIntegral * (integral + error * dt);
    // The integral only moves while the ratio is within its bounds, so that a
    // long stall does not wind it up.
    if (candidate > -limit && candidate < limit)
        integral += error * dt;
    correction = std::clamp(kProportional * error + kIntegral * integral, -limit, limit);
    return 1.0 + correction;
}

void CPlayoutControl::Underrun() {
    target = std::min(settings.maxTargetFrames, target + settings.targetStepFrames);
    calm = 0.0;
    // Whatever drove the queue dry, the smoothed level is stale now.
    smoothed = -1.0;
}

void CPlayoutControl::Left(uint32_t left) {
    if (smoothed < 0 || left >= settings.floorFrames)
        return;
    calm = 0.0;
    // The dip is measured from the queue's mean, which a grown target does
    // not move at once: the periods of one dip all ask for the same target.
    const double dip = std::max(0.0, smoothed - left);
    const auto wanted = static_cast<uint32_t>(dip + settings.floorFrames);
    const uint32_t most = std::min(settings.maxTargetFrames, target + settings.targetStepFrames);
    target = std::max(target, std::min(wanted, most));
}

void CPlayoutControl::Skipped() {
    smoothed = Target();
}

} // namespace platform
