#include "codec/CAdtsHeader.h"

namespace {

constexpr int kRates[] = {96000, 88200, 64000, 48000, 44100, 32000, 24000,
                          22050, 16000, 12000, 11025, 8000,  7350};

// Reads big-endian bit fields, refusing to run past the end.
class BitReader {
public:
    BitReader(const uint8_t* d, size_t n) : data(d), bits(n * 8) {}
    bool Read(int count, uint32_t& out) {
        out = 0;
        if (pos + size_t(count) > bits)
            return false;
        for (int i = 0; i < count; ++i, ++pos)
            out = out << 1 | ((data[pos / 8] >> (7 - pos % 8)) & 1);
        return true;
    }

private:
    const uint8_t* data;
    size_t bits;
    size_t pos = 0;
};

} // namespace

int CAdtsHeader::RateIndex(int sampleRate) {
    for (int i = 0; i < 13; ++i)
        if (kRates[i] == sampleRate)
            return i;
    return -1;
}

bool CAdtsHeader::FromParameters(int sampleRate, int channels) {
    int index = RateIndex(sampleRate);
    if (index < 0 || channels < 1 || channels > 8 || channels == 7)
        return false;
    objectType = 2;
    rateIndex = index;
    channelConfig = channels == 8 ? 7 : channels;
    return true;
}

bool CAdtsHeader::FromAudioSpecificConfig(const uint8_t* config, size_t size) {
    if (!config)
        return false;
    BitReader r(config, size);
    uint32_t type, index, channels, skip;
    if (!r.Read(5, type))
        return false;
    if (type == 31) {
        if (!r.Read(6, type))
            return false;
        type += 32;
    }
    if (!r.Read(4, index))
        return false;
    if (index == 15 && !r.Read(24, skip))
        return false;
    if (!r.Read(4, channels))
        return false;
    // HE-AAC with explicit signalling: ADTS carries the core layer and the
    // decoder finds the extension by itself.
    if (type == 5 || type == 29) {
        uint32_t extIndex;
        if (!r.Read(4, extIndex))
            return false;
        if (extIndex == 15 && !r.Read(24, skip))
            return false;
        if (!r.Read(5, type))
            return false;
    }
    // ADTS has two bits for the profile (object types 1-4), four for an
    // indexed rate, and cannot describe a channel configuration given in a
    // program config element (0).
    if (type < 1 || type > 4 || index > 12 || channels < 1 || channels > 7)
        return false;
    objectType = int(type);
    rateIndex = int(index);
    channelConfig = int(channels);
    return true;
}

bool CAdtsHeader::Write(uint8_t* out, size_t payloadSize) const {
    size_t length = payloadSize + kSize;
    if (length > kMaxFrame)
        return false;
    out[0] = 0xFF;
    out[1] = 0xF1; // MPEG-4, layer 0, no CRC
    out[2] =
        uint8_t(((objectType - 1) & 3) << 6 | (rateIndex & 15) << 2 | (channelConfig >> 2 & 1));
    out[3] = uint8_t((channelConfig & 3) << 6 | (length >> 11 & 3));
    out[4] = uint8_t(length >> 3);
    out[5] = uint8_t((length & 7) << 5 | 0x1F); // buffer fullness 0x7FF: variable rate
    out[6] = 0xFC;                              // one raw data block
    return true;
}

size_t CAdtsHeader::FrameLength(const uint8_t* data, size_t size) {
    if (size < kSize)
        return 0;
    if (data[0] != 0xFF || (data[1] & 0xF6) != 0xF0)
        return 0;                          // sync word, layer 0
    size_t header = (data[1] & 1) ? 7 : 9; // protection absent?
    size_t length = size_t(data[3] & 3) << 11 | size_t(data[4]) << 3 | data[5] >> 5;
    if (length <= header)
        return 0;
    return length;
}

std::vector<size_t> CAdtsHeader::FrameLengths(const uint8_t* data, size_t size) {
    std::vector<size_t> lengths;
    while (size > 0) {
        size_t length = FrameLength(data, size);
        if (length == 0 || length > size)
            return {};
        lengths.push_back(length);
        data += length;
        size -= length;
    }
    return lengths;
}

bool CAdtsHeader::IsAdts(const uint8_t* data, size_t size) {
    return !FrameLengths(data, size).empty();
}
