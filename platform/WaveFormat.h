// The 18-byte PCM wave format record, laid out as the audio devices and the
// session record expect it.
#pragma once

#include <cstdint>

#pragma pack(push, 1)
struct WAVEFORMATEX {
    uint16_t wFormatTag;
    uint16_t nChannels;
    uint32_t nSamplesPerSec;
    uint32_t nAvgBytesPerSec;
    uint16_t nBlockAlign;
    uint16_t wBitsPerSample;
    uint16_t cbSize;
};
#pragma pack(pop)

static_assert(sizeof(WAVEFORMATEX) == 18, "the wave format record is 18 bytes");

constexpr uint16_t WAVE_FORMAT_PCM = 1;

// PCM, 44100 Hz, 2 channels, 16 bits: what the console and a capture device
// start with.
constexpr WAVEFORMATEX DefaultWaveFormat() {
    return WAVEFORMATEX{WAVE_FORMAT_PCM, 2, 44100, 44100 * 4, 4, 16, 0};
}
