// Media helpers for the field unit tests: decoding what it sent with
// libavcodec's decoders, making input files, return audio as a studio sends
// it, reading WAV files.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace fieldmedia {

// NAL unit types of an Annex B access unit, in order; empty when the data
// does not start with a start code.
std::vector<int> NalTypes(const std::vector<uint8_t>& accessUnit);

struct VideoResult {
    int frames = 0;
    int width = 0;
    int height = 0;
    int failures = 0;
};
// Decodes the access units in order with libavcodec's H.264 decoder.
VideoResult DecodeH264(const std::vector<std::vector<uint8_t>>& accessUnits);

struct AudioResult {
    int frames = 0;
    int sampleRate = 0;
    int channels = 0;
    int failures = 0;
};
// Decodes ADTS AAC packets in order with libavcodec's AAC decoder.
AudioResult DecodeAac(const std::vector<std::vector<uint8_t>>& packets);

// Writes a media file of seconds length through libavformat: a moving grey
// picture and a 440 Hz tone, in the container and codecs named.
bool MakeMediaFile(const std::string& path, const std::string& container,
                   const std::string& videoCodec, const std::string& audioCodec, double seconds,
                   int width, int height, std::string& error);

// Return audio payloads as a studio sends them: a sine tone in AAC,
// framesPerPacket ADTS frames to a payload.
std::vector<std::vector<uint8_t>> ReturnAudio(int sampleRate, int channels, double frequency,
                                              int packets, int framesPerPacket = 5);

struct Wav {
    bool ok = false;
    std::string problem;
    int sampleRate = 0;
    int channels = 0;
    std::vector<int16_t> samples; // interleaved
};
// Reads a 16-bit PCM WAV file and checks that its RIFF sizes agree with the file.
Wav ReadWav(const std::string& path);

// Share of the signal's power (one channel of interleaved samples) at frequency.
double ToneShare(const std::vector<int16_t>& samples, int channels, int sampleRate,
                 double frequency);

} // namespace fieldmedia
