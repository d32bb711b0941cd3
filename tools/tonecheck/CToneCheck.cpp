#include "CToneCheck.h"

#include <algorithm>
#include <cmath>

namespace {

// About -60 dBFS: quieter than this is no tone at all.
constexpr double kMinLevel = 0.001;
// Windows of a steady tone before it counts as established.
constexpr int kSteadyWindows = 8;
// How fast the level, the noise and the pitch follow what is heard, per window.
constexpr double kLevelFollow = 0.1;
constexpr double kNoiseFollow = 0.05;
constexpr double kPitchFollow = 0.05;
// A glide at least this far up may be a timing mark: if it is as short and
// as high as the marks are, and clear of any fault (a break in the phase
// that a decoder smooths over can bend the pitch for a moment too).
constexpr double kMarkThreshold = 0.4 * CToneCheck::kMarkShift;
constexpr int kMarkMinWindows = 2;
constexpr int kMarkMaxWindows = 12;
constexpr double kMarkLowest = 0.5 * CToneCheck::kMarkShift;
constexpr double kMarkHighest = 2 * CToneCheck::kMarkShift;
constexpr int kMarkClearWindows = 4;

} // namespace

CToneCheck::CToneCheck(int sampleRate, int channelCount, double toneFrequency)
    : rate(sampleRate > 0 ? sampleRate : 1), channels(channelCount > 0 ? channelCount : 1),
      frequency(toneFrequency) {
    const double w = 2 * M_PI * frequency / rate;
    twoCos = 2 * std::cos(w);
    // A tone at 0 or at the Nyquist rate has no recurrence to speak of; keep
    // the divisor away from zero all the same.
    sinSquared = std::max(std::sin(w) * std::sin(w), 1e-6);
    windowLength = std::max<size_t>(1, size_t(std::lround(rate * kWindowSeconds)));
    gapSamples = std::max<size_t>(1, size_t(std::lround(rate * kGapSeconds)));
    state.resize(size_t(channels));
}

bool CToneCheck::Established() const {
    return std::any_of(state.begin(), state.end(), [](const Channel& c) { return c.established; });
}

double CToneCheck::Level() const {
    return state.empty() ? 0 : state[0].level;
}

double CToneCheck::Frequency() const {
    return state.empty() ? 0 : state[0].frequency;
}

void CToneCheck::Feed(const int16_t* samples, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        Channel& c = state[channelAt];
        const double x = samples[i] / 32768.0;
        if (c.primed >= 2) {
            // What the sine recurrence expects of this sample, and the
            // tone's amplitude from this sample and the last, whatever the
            // phase.
            const double r = x - twoCos * c.x1 + c.x2;
            const double e = (x * x - twoCos * x * c.x1 + c.x1 * c.x1) / sinSquared;
            c.energy += e;
            if (std::fabs(r) > c.peakResidual) {
                c.peakResidual = std::fabs(r);
                c.peakAt = framesFed;
            }
            c.residualEnergy += r * r;
            c.crossSum += (x + c.x2) * c.x1;
            c.powerSum += c.x1 * c.x1;
            const double silentLine = std::max(kSilentRatio * c.level, kMinLevel);
            if (c.established && e < silentLine * silentLine) {
                if (++c.silentRun >= gapSamples && !c.silentReached) {
                    c.silentReached = true;
                    c.gapAt = framesFed + 1 - c.silentRun;
                }
                c.longestSilentRun = std::max(c.longestSilentRun, c.silentRun);
            } else {
                c.silentRun = 0;
            }
        } else {
            c.energy += 2 * x * x;
            ++c.primed;
        }
        c.x2 = c.x1;
        c.x1 = x;
        if (++channelAt == size_t(channels)) {
            channelAt = 0;
            ++framesFed;
            if (++inWindow == windowLength)
                EndWindow();
        }
    }
}

CToneCheck::Verdict CToneCheck::Judge(Channel& c, double& silence, uint64_t& at) {
    const double n = double(windowLength);
    const double amplitude = std::sqrt(std::max(c.energy, 0.0) / n);
    const double residual = std::sqrt(c.residualEnergy / n);
    double cosine = c.powerSum > 0 ? c.crossSum / (2 * c.powerSum) : 1;
    cosine = std::clamp(cosine, -1.0, 1.0);
    const double pitch = std::acos(cosine) * rate / (2 * M_PI);

    Verdict verdict = Verdict::Good;
    if (!c.established) {
        // Steady means: loud enough, and no sudden change from the window
        // before.
        bool steady = amplitude > kMinLevel && c.level > 0 &&
                      std::fabs(amplitude / c.level - 1) < 0.3 &&
                      c.peakResidual < kClickRatio * amplitude * 2;
        c.steadyWindows = steady ? c.steadyWindows + 1 : 0;
        c.level =
            c.level > 0 && steady ? c.level + kLevelFollow * (amplitude - c.level) : amplitude;
        c.frequency = pitch;
        c.noise = residual;
        if (c.steadyWindows >= kSteadyWindows)
            c.established = true;
    } else if (c.silentReached) {
        verdict = Verdict::Silent;
        silence = double(c.longestSilentRun) / rate;
        at = c.gapAt;
    } else if (c.peakResidual > std::max(kClickRatio * c.level, kClickOverNoise * c.noise)) {
        verdict = Verdict::Click;
        at = c.peakAt;
    } else {
        c.level += kLevelFollow * (amplitude - c.level);
        c.noise += kNoiseFollow * (residual - c.noise);
        // A mark's glide is no change of the tone's own pitch.
        if (std::fabs(pitch / c.frequency - 1) < 0.01)
            c.frequency += kPitchFollow * (pitch - c.frequency);
    }
    c.lastPitch = pitch;

    c.energy = c.peakResidual = c.residualEnergy = c.crossSum = c.powerSum = 0;
    c.longestSilentRun = c.silentRun;
    c.silentReached = false;
    return verdict;
}

void CToneCheck::EndWindow() {
    const double windowStart = double(windowsDone * windowLength) / rate;
    inWindow = 0;
    ++windowsDone;

    bool analysed = false, bad = false, gap = false;
    double silence = 0, deviation = 0;
    uint64_t first = UINT64_MAX;
    int voices = 0;
    for (Channel& c : state) {
        const bool wasEstablished = c.established;
        double s = 0;
        uint64_t at = framesFed;
        Verdict v = Judge(c, s, at);
        if (!wasEstablished)
            continue;
        analysed = true;
        if (v != Verdict::Good) {
            bad = true;
            first = std::min(first, at);
        }
        if (v == Verdict::Silent) {
            gap = true;
            silence = std::max(silence, s);
        }
        if (v == Verdict::Good && c.frequency > 0) {
            deviation += c.lastPitch / c.frequency - 1;
            ++voices;
        }
    }
    if (!analysed)
        return;
    ++analysedWindows;
    Note(bad, gap, silence, double(first) / rate);
    if (bad || voices == 0) {
        markWindows = 0;
        markWeight = markWeightedTime = markPeak = 0;
        cleanWindows = 0;
    } else {
        NoteMark(deviation / voices, windowStart + double(windowLength) / rate / 2);
    }
}

void CToneCheck::Note(bool bad, bool gap, double silence, double at) {
    if (!bad) {
        inEvent = false;
        return;
    }
    if (!inEvent) {
        // Bad windows in a row are one event: the clicks at the edges of a
        // gap belong to the gap.
        inEvent = true;
        eventIsGap = gap;
        ++(gap ? gaps : discontinuities);
        eventKept = events.size() < kKeptEvents;
        if (eventKept) {
            eventIndex = events.size();
            events.push_back({at, gap, silence});
        }
        return;
    }
    if (gap && !eventIsGap) {
        eventIsGap = true;
        --discontinuities;
        ++gaps;
    }
    if (eventKept) {
        Event& e = events[eventIndex];
        e.gap = eventIsGap;
        e.silence = std::max(e.silence, silence);
    }
}

void CToneCheck::NoteMark(double deviation, double at) {
    if (deviation > kMarkThreshold && (markWindows > 0 || cleanWindows >= kMarkClearWindows)) {
        ++markWindows;
        markWeight += deviation;
        markWeightedTime += deviation * at;
        markPeak = std::max(markPeak, deviation);
        return;
    }
    // The glide has passed: its centre is where it weighs most.
    if (markWindows >= kMarkMinWindows && markWindows <= kMarkMaxWindows &&
        markPeak >= kMarkLowest && markPeak <= kMarkHighest)
        marks.push_back(markWeightedTime / markWeight);
    markWindows = 0;
    markWeight = markWeightedTime = markPeak = 0;
    ++cleanWindows;
}
