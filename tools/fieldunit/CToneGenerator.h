// The test tone: a 1 kHz sine at -12 dBFS peak on every channel.
#pragma once

#include <cstdint>

struct AVFrame;

class CToneGenerator {
public:
    CToneGenerator() = default;
    virtual ~CToneGenerator();
    CToneGenerator(const CToneGenerator&) = delete;
    CToneGenerator& operator=(const CToneGenerator&) = delete;

    bool Open(int sampleRate, int channels);
    void Close();

    // The next samples of float planar audio, owned by this object and valid
    // until the next call.
    AVFrame* Next(int samples);
    int64_t SamplesMade() const { return made; }

    static constexpr double kFrequency = 1000.0;
    static constexpr double kAmplitude = 0.25;

private:
    AVFrame* frame = nullptr;
    int rate = 0;
    int channels = 0;
    int64_t made = 0;
};
