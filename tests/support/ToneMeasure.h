// The measures the tests judge sound by: a tone's frequency and level, and
// where the sound is.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace testing_support {

// How one channel of interleaved audio sounds between two frame positions:
// the frequency of its tone (from the zero crossings) and its RMS level as a
// fraction of full scale.
struct Tone {
    double frequency = 0.0;
    double rms = 0.0;
};
Tone MeasureTone(const std::vector<int16_t>& samples, int channels, int channel, int sampleRate,
                 size_t firstFrame, size_t endFrame);

// The longest run of sound in a channel, found in 10 ms blocks louder than
// threshold (RMS, fraction of full scale): [first, end) in frames.
struct SoundRun {
    size_t first = 0;
    size_t end = 0;
    size_t Frames() const { return end - first; }
};
SoundRun LongestSound(const std::vector<int16_t>& samples, int channels, int channel,
                      int sampleRate, double threshold = 0.02);

} // namespace testing_support
