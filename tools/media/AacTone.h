// Sine tones for tests and benchmarks: as AAC in ADTS frames, as a field unit
// sends them, or as the PCM an encoder under test takes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace media {

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

} // namespace media
