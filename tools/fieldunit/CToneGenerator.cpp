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
        float value = float(kAmplitude * std::sin(2 * M_PI * kFrequency * double(n) / rate));
        for (int c = 0; c < channels; ++c)
            reinterpret_cast<float*>(frame->data[c])[i] = value;
    }
    made += samples;
    return frame;
}
