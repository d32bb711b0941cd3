// A resampler whose ratio moves a little every period: the playback queue
// follows the far clock through it. Interleaved signed 16-bit PCM at one
// nominal rate in and out; the ratio is the input frames consumed per output
// frame. Opening allocates; nothing after it does, so that the sound
// system's thread may use it.
#pragma once

#include <cstdint>

struct SpeexResamplerState_;

namespace platform {

class CRateResampler {
public:
    CRateResampler() = default;
    virtual ~CRateResampler();
    CRateResampler(const CRateResampler&) = delete;
    CRateResampler& operator=(const CRateResampler&) = delete;

    // Ratios within 1 +- maxDeviation can be set afterwards.
    bool Open(uint16_t channels, uint32_t rate, double maxDeviation);
    void Close();
    // Forgets the history: the next input starts a new stretch of sound.
    void Reset();

    // The ratio for what is processed next, as near as it can be given
    // (within 1 / kRatioDenominator). Never exactly 1, which would change
    // the filter's mode and click.
    void SetRatio(double ratio);
    double Ratio() const;

    // Reads up to inFrames and writes up to outFrames; both are set to what
    // was consumed and made.
    void Process(const int16_t* in, uint32_t& inFrames, int16_t* out, uint32_t& outFrames);

    // The ratio goes to the resampler as a fraction over this prime, so that
    // it is never reduced to a short one. The resampler rescales its phase,
    // which is below the denominator, by the denominator in 32 bits, and
    // refuses a new ratio when that overflows, so the denominator must stay
    // below 2^16; 1/65521 is a step of 15 ppm.
    static constexpr uint32_t kRatioDenominator = 65521;

private:
    SpeexResamplerState_* state = nullptr;
    uint32_t numerator = 0;
};

} // namespace platform
