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
    windFrom = 0;
    stalled = false;
    stallInHand = 0;
    dry = 0;
}

void CPlayoutControl::SetFixedFrames(uint32_t frames) {
    if (frames == settings.fixedFrames)
        return;
    settings.fixedFrames = frames;
    target = std::min(settings.targetFrames, settings.maxTargetFrames);
    stalled = false;
    ResetCalm();
}

void CPlayoutControl::ResetCalm() {
    calm = 0.0;
    windFrom = 0;
}

uint32_t CPlayoutControl::Target() const {
    const uint32_t base = settings.fixedFrames ? settings.fixedFrames : target;
    return std::max(base, arrival + arrival / 2);
}

bool CPlayoutControl::ReadyToStart(uint32_t queued) {
    if (stalled && queued > 0) {
        stalled = false;
        // The next stall of this length finds the target in hand and leaves
        // the floor of it.
        const uint64_t stall = uint64_t(stallInHand) + dry + settings.floorFrames;
        const uint64_t grown = std::max<uint64_t>(target + settings.targetStepFrames, stall);
        target = uint32_t(std::min<uint64_t>(settings.maxTargetFrames, grown));
    }
    return queued >= Target();
}

void CPlayoutControl::Dry(uint32_t frames) {
    if (stalled)
        dry += frames;
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
    if (!settings.fixedFrames && calm >= settings.calmSeconds && target > settings.targetFrames) {
        if (!windFrom)
            windFrom = target;
        const double wound =
            settings.windDownSeconds > 0
                ? std::min(1.0, (calm - settings.calmSeconds) / settings.windDownSeconds)
                : 1.0;
        target = std::max(settings.targetFrames,
                          windFrom - uint32_t(double(windFrom - settings.targetFrames) * wound));
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
    ResetCalm();
    if (!settings.fixedFrames) {
        // The target grows once the stall's length is known: when audio
        // comes again.
        stalled = true;
        stallInHand = Target();
        dry = 0;
    }
    // Whatever drove the queue dry, the smoothed level is stale now.
    smoothed = -1.0;
}

void CPlayoutControl::Left(uint32_t left) {
    if (smoothed < 0 || settings.fixedFrames)
        return;
    // A stall ridden out without a gap is no calm: the grown target is what
    // rode it out.
    if (target > settings.targetFrames && left < Target() / 2)
        ResetCalm();
    if (left >= settings.floorFrames)
        return;
    ResetCalm();
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
