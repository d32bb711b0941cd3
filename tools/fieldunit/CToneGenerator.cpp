#include "CToneGenerator.h"

#include <cmath>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/frame.h>
#include <libavutil/samplefmt.h>
}

CToneGenerator::~CToneGenerator() {
    Close();
}

bool CToneGenerator::Open(int sampleRate, int channelCount) {
    Close();
    rate = sampleRate;
    channels = channelCount;
    frame = av_frame_alloc();
    return frame != nullptr;
}

void CToneGenerator::Close() {
    if (frame)
        av_frame_free(&frame);
    made = 0;
}

AVFrame* CToneGenerator::Next(int samples) {
    if (!frame)
        return nullptr;
    av_frame_unref(frame);
    frame->format = AV_SAMPLE_FMT_FLTP;
    frame->sample_rate = rate;
    frame->nb_samples = samples;
    av_channel_layout_default(&frame->ch_layout, channels);
    if (av_frame_get_buffer(frame, 0) < 0)
        return nullptr;
    for (int i = 0; i < samples; ++i) {
        // The phase from the sample count modulo one cycle keeps it exact.
        int64_t n = (made + i) % rate;
        float value = float(
            kAmplitude * std::sin(2 * M_PI * kFrequency * double(n) / rate + MarkPhase(made + i)));
        if (beepEvery > 0) {
            // The beep starts at its sample exactly, at the phase of zero.
            const int64_t every = std::llround(beepEvery * rate);
            const int64_t into = (made + i) % every;
            value = made + i >= every && into < int64_t(kBeepSeconds * rate)
                        ? float(kAmplitude * std::sin(2 * M_PI * kFrequency * double(into) / rate))
                        : 0.0f;
        }
        if (muteFrom >= 0 && made + i >= muteFrom && (muteUntil < 0 || made + i < muteUntil))
            value = 0.0f;
        for (int c = 0; c < channels; ++c)
            reinterpret_cast<float*>(frame->data[c])[i] = value;
    }
    made += samples;
    return frame;
}

double CToneGenerator::MarkPhase(int64_t sample) const {
    if (markEvery <= 0)
        return 0;
    // The pitch follows a raised cosine from the tone's up by kMarkShift and
    // back: smooth, so the glide is no click. Its phase is the integral.
    const double t = double(sample) / rate;
    const double half = kMarkSeconds / 2;
    const int64_t begun = int64_t(std::floor((t + half) / markEvery));
    if (begun < 1)
        return 0;
    const double perMark = 2 * M_PI * kFrequency * kMarkShift * half;
    const double into = t - (double(begun) * markEvery - half);
    double phase = double(begun - 1) * perMark;
    if (into >= kMarkSeconds)
        phase += perMark;
    else
        phase += 2 * M_PI * kFrequency * kMarkShift *
                 (into / 2 - kMarkSeconds / (4 * M_PI) * std::sin(2 * M_PI * into / kMarkSeconds));
    return std::fmod(phase, 2 * M_PI);
}
