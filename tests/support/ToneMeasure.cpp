#include "ToneMeasure.h"

#include <algorithm>
#include <cmath>

namespace testing_support {

Tone MeasureTone(const std::vector<int16_t>& samples, int channels, int channel, int sampleRate,
                 size_t firstFrame, size_t endFrame) {
    Tone tone;
    endFrame = std::min(endFrame, samples.size() / channels);
    if (firstFrame + 2 >= endFrame)
        return tone;
    double sum = 0.0;
    double firstCrossing = -1.0, lastCrossing = -1.0;
    size_t crossings = 0;
    double previous = samples[firstFrame * channels + channel];
    for (size_t i = firstFrame; i < endFrame; ++i) {
        double v = samples[i * channels + channel];
        sum += v * v;
        if (i > firstFrame && previous < 0.0 && v >= 0.0) {
            // Rising crossing, placed between the two samples.
            double at = static_cast<double>(i - 1) + (-previous) / (v - previous);
            if (firstCrossing < 0)
                firstCrossing = at;
            lastCrossing = at;
            ++crossings;
        }
        previous = v;
    }
    tone.rms = std::sqrt(sum / static_cast<double>(endFrame - firstFrame)) / 32768.0;
    if (crossings >= 2)
        tone.frequency =
            static_cast<double>(crossings - 1) * sampleRate / (lastCrossing - firstCrossing);
    return tone;
}

SoundRun LongestSound(const std::vector<int16_t>& samples, int channels, int channel,
                      int sampleRate, double threshold) {
    const size_t block = static_cast<size_t>(sampleRate / 100);
    const size_t frames = samples.size() / channels;
    SoundRun best, current;
    bool inRun = false;
    for (size_t b = 0; b + block <= frames; b += block) {
        bool loud =
            MeasureTone(samples, channels, channel, sampleRate, b, b + block).rms > threshold;
        if (loud) {
            if (!inRun)
                current.first = b;
            current.end = b + block;
            inRun = true;
            if (current.Frames() > best.Frames())
                best = current;
        } else {
            inRun = false;
        }
    }
    return best;
}

} // namespace testing_support
