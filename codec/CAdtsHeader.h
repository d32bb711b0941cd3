// The 7-byte ADTS header in front of every AAC frame on the link, written from
// the stream's parameters and read back from received frames.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

class CAdtsHeader {
public:
    virtual ~CAdtsHeader() = default;

    static constexpr size_t kSize = 7;
    // The largest frame the 13-bit length field can describe, header included.
    static constexpr size_t kMaxFrame = 8191;

    // From an AudioSpecificConfig (MP4/MKV extradata). False when it does not
    // parse or describes what ADTS cannot carry.
    bool FromAudioSpecificConfig(const uint8_t* config, size_t size);
    // AAC LC at a rate and channel count. False for a rate without an index.
    bool FromParameters(int sampleRate, int channels);

    // Writes the header for a frame of payloadSize raw bytes into out (kSize
    // bytes). False when the frame is too long for ADTS.
    bool Write(uint8_t* out, size_t payloadSize) const;

    // Length of the ADTS frame (header included) starting at data, or 0 when
    // data does not start with a well-formed ADTS header.
    static size_t FrameLength(const uint8_t* data, size_t size);
    // The lengths of the frames when data is nothing but whole ADTS frames;
    // empty otherwise.
    static std::vector<size_t> FrameLengths(const uint8_t* data, size_t size);
    // True when data is nothing but whole ADTS frames.
    static bool IsAdts(const uint8_t* data, size_t size);
    static int RateIndex(int sampleRate);

    int objectType = 2; // AAC LC
    int rateIndex = 3;  // 48000
    int channelConfig = 2;
};
