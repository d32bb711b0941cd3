// The test tone: a 1 kHz sine at -12 dBFS peak on every channel, with timing
// marks on request: a smooth 5 % glide up in pitch and back, 40 ms long,
// centred on every whole multiple of the mark interval.
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
    // 0: no marks.
    void SetMarks(double everySeconds) { markEvery = everySeconds; }
    // Non-zero: silence, with a beep of the tone kBeepSeconds long beginning
    // at every whole multiple of everySeconds, from the first on.
    void SetBeeps(double everySeconds) { beepEvery = everySeconds; }
    // Digital silence from sample from on (negative: never), the tone again
    // from sample resume on (negative: never).
    void SetMute(int64_t from, int64_t resume) {
        muteFrom = from;
        muteUntil = resume;
    }
    void Close();

    // The next samples of float planar audio, owned by this object and valid
    // until the next call.
    AVFrame* Next(int samples);
    int64_t SamplesMade() const { return made; }

    static constexpr double kFrequency = 1000.0;
    static constexpr double kAmplitude = 0.25;
    static constexpr double kMarkShift = 0.05;
    static constexpr double kMarkSeconds = 0.04;
    static constexpr double kBeepSeconds = 0.1;

private:
    // The phase the marks so far have added, in radians.
    double MarkPhase(int64_t sample) const;

    AVFrame* frame = nullptr;
    int rate = 0;
    int channels = 0;
    int64_t made = 0;
    double markEvery = 0;
    double beepEvery = 0;
    int64_t muteFrom = -1, muteUntil = -1;
};
