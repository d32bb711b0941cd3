// AAC as the field unit sends it: ADTS frames laid back to back, each with
// its own header. Read here to count samples and to describe the stream to a
// muxer; nothing in it is trusted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

struct AdtsFrame {
    size_t offset = 0;       // of the header within the payload
    size_t length = 0;       // header included
    size_t headerLength = 0; // 7, or 9 with a CRC
    int objectType = 0;      // MPEG-4 audio object type: 2 is AAC LC
    int rateIndex = 0;
    int channelConfig = 0;
    int blocks = 0; // raw data blocks, 1024 samples each
};

// The frames of a payload; false when any part of it is not a whole,
// well-formed frame with a sample rate and a channel layout it states.
bool SplitAdtsFrames(const uint8_t* data, size_t length, std::vector<AdtsFrame>& frames);

// Samples per second of a rate index; 0 for an index without a rate.
int AdtsSampleRate(int rateIndex);
// The rate index of a sample rate; -1 for a rate AAC does not have.
int AdtsRateIndex(int sampleRate);
// Channels of a channel configuration (1 to 7); 0 otherwise.
int AdtsChannels(int channelConfig);

// The two-byte AudioSpecificConfig that FLV carries instead of ADTS headers.
std::vector<uint8_t> AudioSpecificConfig(const AdtsFrame& frame);
