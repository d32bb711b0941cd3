#include "CWavWriter.h"

#include <algorithm>

namespace {
void Put16(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}
void Put32(uint8_t* p, uint32_t v) {
    Put16(p, v);
    Put16(p + 2, v >> 16);
}
} // namespace

CWavWriter::~CWavWriter() {
    Close();
}

bool CWavWriter::Open(const std::string& path, int sampleRate, int channelCount) {
    Close();
    file = std::fopen(path.c_str(), "wb");
    if (!file)
        return false;
    rate = sampleRate;
    channels = channelCount;
    dataBytes = 0;
    return UpdateHeader();
}

bool CWavWriter::SetFormat(int sampleRate, int channelCount) {
    if (dataBytes > 0)
        return sampleRate == rate && channelCount == channels;
    rate = sampleRate;
    channels = channelCount;
    return UpdateHeader();
}

bool CWavWriter::Write(const int16_t* samples, size_t count) {
    if (!file)
        return false;
    uint64_t bytes = uint64_t(count) * 2;
    if (dataBytes + bytes > kMaxData)
        return false;
    // WAV is little-endian, as are the machines this runs on.
    if (std::fwrite(samples, 2, count, file) != count)
        return false;
    dataBytes += bytes;
    return true;
}

bool CWavWriter::UpdateHeader() {
    if (!file)
        return false;
    uint8_t h[44];
    const uint32_t blockAlign = uint32_t(channels) * 2;
    std::copy_n("RIFF", 4, h);
    Put32(h + 4, uint32_t(36 + dataBytes));
    std::copy_n("WAVEfmt ", 8, h + 8);
    Put32(h + 16, 16);
    Put16(h + 20, 1); // PCM
    Put16(h + 22, uint32_t(channels));
    Put32(h + 24, uint32_t(rate));
    Put32(h + 28, uint32_t(rate) * blockAlign);
    Put16(h + 32, blockAlign);
    Put16(h + 34, 16);
    std::copy_n("data", 4, h + 36);
    Put32(h + 40, uint32_t(dataBytes));
    long end = std::ftell(file);
    bool ok = std::fseek(file, 0, SEEK_SET) == 0 && std::fwrite(h, 1, sizeof h, file) == sizeof h;
    if (end > long(sizeof h))
        ok &= std::fseek(file, end, SEEK_SET) == 0;
    ok &= std::fflush(file) == 0;
    return ok;
}

void CWavWriter::Close() {
    if (!file)
        return;
    UpdateHeader();
    std::fclose(file);
    file = nullptr;
}
