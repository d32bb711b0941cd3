// AAC for tests, made and taken apart with the system's own FFmpeg libraries:
// ADTS tone packets as a field unit sends them, a reference decoder for the
// return audio, and the measures the tests judge sound by.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace testing_support {

using Bytes = std::vector<uint8_t>;

// Encodes seconds of a sine tone at frequency Hz with the library's AAC
// encoder; amplitude per channel as a fraction of full scale (the last one
// repeats for further channels). Each packet holds framesPerPacket ADTS
// frames laid back to back. Empty on failure.
std::vector<Bytes> MakeAacTone(int sampleRate, int channels, double frequency,
                               const std::vector<double>& amplitude, double seconds,
                               int framesPerPacket = 1);

// Interleaved signed 16-bit samples of the same tone, for encoders under test.
std::vector<int16_t> MakePcmTone(int sampleRate, int channels, double frequency, double amplitude,
                                 size_t frames);

// Decodes a stream of ADTS frames laid back to back, with nothing but the
// stream itself: the library's parser finds the frames.
struct DecodedAudio {
    int sampleRate = 0;
    int channels = 0;
    std::vector<int16_t> samples; // interleaved
};
bool DecodeAdtsStream(const Bytes& stream, DecodedAudio& out);

// The frame lengths of an ADTS stream as its headers state them; empty when
// the stream is not a whole number of well-formed frames.
std::vector<size_t> AdtsFrameLengths(const uint8_t* data, size_t length);

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
