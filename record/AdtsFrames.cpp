#include "AdtsFrames.h"

namespace {

constexpr int kRates[] = {96000, 88200, 64000, 48000, 44100, 32000, 24000,
                          22050, 16000, 12000, 11025, 8000,  7350};

} // namespace

int AdtsSampleRate(int rateIndex) {
    return rateIndex >= 0 && rateIndex < int(std::size(kRates)) ? kRates[rateIndex] : 0;
}

int AdtsRateIndex(int sampleRate) {
    for (int i = 0; i < int(std::size(kRates)); ++i)
        if (kRates[i] == sampleRate)
            return i;
    return -1;
}

int AdtsChannels(int channelConfig) {
    if (channelConfig >= 1 && channelConfig <= 6)
        return channelConfig;
    return channelConfig == 7 ? 8 : 0;
}

bool SplitAdtsFrames(const uint8_t* data, size_t length, std::vector<AdtsFrame>& frames) {
    frames.clear();
    size_t at = 0;
    while (at < length) {
        const uint8_t* h = data + at;
        const size_t left = length - at;
        // Sync word, MPEG layer 0.
        if (left < 7 || h[0] != 0xFF || (h[1] & 0xF6) != 0xF0)
            return false;
        AdtsFrame f;
        f.offset = at;
        f.headerLength = (h[1] & 0x01) ? 7 : 9;
        f.objectType = ((h[2] >> 6) & 0x03) + 1;
        f.rateIndex = (h[2] >> 2) & 0x0F;
        f.channelConfig = ((h[2] & 0x01) << 2) | (h[3] >> 6);
        f.length = size_t((h[3] & 0x03) << 11 | h[4] << 3 | h[5] >> 5);
        f.blocks = (h[6] & 0x03) + 1;
        // A layout carried in the stream itself (configuration 0) cannot be
        // described to a muxer without decoding; neither can a rate without
        // an index.
        if (AdtsSampleRate(f.rateIndex) == 0 || AdtsChannels(f.channelConfig) == 0 ||
            f.length <= f.headerLength || f.length > left)
            return false;
        frames.push_back(f);
        at += f.length;
    }
    return !frames.empty();
}

std::vector<uint8_t> AudioSpecificConfig(const AdtsFrame& frame) {
    // Object type (5 bits), rate index (4), channel configuration (4), and
    // three zero bits: 1024-sample frames, no core coder, no extension.
    return {uint8_t(frame.objectType << 3 | frame.rateIndex >> 1),
            uint8_t((frame.rateIndex & 1) << 7 | frame.channelConfig << 3)};
}
