// Files the end-to-end tests make and read: a clip for the field unit to
// stream, a raw tone for the sound server to play, the WAV file of the
// return audio.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace mediafiles {

// An MP4 file made with libavformat: H.264 (libx264) pictures of one colour
// (0-255 RGB) and a stereo AAC sine tone at frequency Hz, seconds long.
bool MakeColourClip(const std::string& path, int red, int green, int blue, double frequency,
                    double seconds, std::string& error);

// Signed 16-bit little-endian stereo samples of a sine tone, no header.
bool WriteRawTone(const std::string& path, int sampleRate, double frequency, double amplitude,
                  double seconds);

struct Wav {
    int sampleRate = 0;
    int channels = 0;
    std::vector<int16_t> samples; // interleaved
};
// Reads a 16-bit PCM WAV file; false with the reason in error otherwise.
bool ReadWav(const std::string& path, Wav& wav, std::string& error);

} // namespace mediafiles
