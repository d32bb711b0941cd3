#include "RateResampler.h"

#include <speex/speex_resampler.h>

#include <algorithm>
#include <cmath>

namespace platform {

namespace {
// Quality 5 of 10: transparent for programme sound at a trifling cost.
constexpr int kQuality = 5;
} // namespace

CRateResampler::~CRateResampler() { Close(); }

bool CRateResampler::Open(uint16_t channels, uint32_t rate, double maxDeviation) {
    Close();
    int error = 0;
    state = speex_resampler_init(channels, rate, rate, kQuality, &error);
    if (!state)
        return false;
    // The filter is longest at the fastest ratio: set it once here, so that
    // changing the ratio later never allocates.
    const auto fastest = uint32_t(std::ceil((1 + maxDeviation) * kRatioDenominator));
    if (speex_resampler_set_rate_frac(state, fastest, kRatioDenominator, rate, rate) !=
        RESAMPLER_ERR_SUCCESS) {
        Close();
        return false;
    }
    numerator = 0;
    SetRatio(1.0);
    speex_resampler_reset_mem(state);
    return true;
}

void CRateResampler::Close() {
    if (state)
        speex_resampler_destroy(state);
    state = nullptr;
}

void CRateResampler::Reset() {
    if (state)
        speex_resampler_reset_mem(state);
}

void CRateResampler::SetRatio(double ratio) {
    if (!state)
        return;
    auto num = static_cast<uint32_t>(std::lround(ratio * kRatioDenominator));
    if (num == kRatioDenominator)
        ++num;
    if (num == numerator)
        return;
    spx_uint32_t in = 0, out = 0;
    speex_resampler_get_rate(state, &in, &out);
    // A ratio refused keeps the one before: the loop that sets it sees the
    // queue go on and asks again.
    if (speex_resampler_set_rate_frac(state, num, kRatioDenominator, in, out) ==
        RESAMPLER_ERR_SUCCESS)
        numerator = num;
}

double CRateResampler::Ratio() const { return double(numerator) / kRatioDenominator; }

void CRateResampler::Process(const int16_t* in, uint32_t& inFrames, int16_t* out,
                             uint32_t& outFrames) {
    if (!state) {
        inFrames = outFrames = 0;
        return;
    }
    spx_uint32_t inLength = inFrames, outLength = outFrames;
    speex_resampler_process_interleaved_int(state, in, &inLength, out, &outLength);
    inFrames = inLength;
    outFrames = outLength;
}

} // namespace platform
