#include "CAudioEncoder.h"

#include <cstring>

int32_t CAudioEncoder::Open(SessionContext* session) {
    Close();
    if (!session ||
        !NewContext(Direction::kEncode, session->captureFormat, session->audioBitRate))
        return 0;
    const WAVEFORMATEX& format = *session->captureFormat;

    // The encoder takes planar float; signed 16-bit is used where it is taken
    // as it is.
    AVSampleFormat sampleFormat = AV_SAMPLE_FMT_NONE;
    for (const AVSampleFormat* f = codec->sample_fmts; f && *f != AV_SAMPLE_FMT_NONE; ++f) {
        if (*f == AV_SAMPLE_FMT_S16) {
            sampleFormat = *f;
            break;
        }
        if (*f == AV_SAMPLE_FMT_FLTP)
            sampleFormat = *f;
    }
    if (sampleFormat == AV_SAMPLE_FMT_NONE)
        return 0;

    context->sample_fmt = sampleFormat;
    context->time_base = AVRational{1, context->sample_rate};
    if (avcodec_open2(context, codec, nullptr) < 0)
        return 0;

    // The configuration the encoder decided on: object type, rate index and
    // channel configuration, as every ADTS header repeats them.
    if (context->extradata_size < 0 ||
        !adts.FromAudioSpecificConfig(context->extradata, size_t(context->extradata_size)))
        return 0;

    if (context->frame_size <= 0)
        return 0;
    frame = av_frame_alloc();
    packet = av_packet_alloc();
    if (!frame || !packet)
        return 0;
    frame->nb_samples = context->frame_size;
    frame->format = context->sample_fmt;
    frame->sample_rate = context->sample_rate;
    av_channel_layout_default(&frame->ch_layout, format.nChannels);
    if (av_frame_get_buffer(frame, 0) < 0)
        return 0;

    frameSize = context->frame_size;
    channels = format.nChannels;
    nextPts = 0;
    return frameSize;
}

int32_t CAudioEncoder::Encode(uint8_t* out, int32_t capacity, const int16_t* samples) {
    if (!frameSize || !out || !samples || capacity < 0)
        return AVERROR(EINVAL);
    // Only copies when the encoder still holds the last frame's samples.
    if (av_frame_make_writable(frame) < 0)
        return AVERROR(ENOMEM);

    if (frame->format == AV_SAMPLE_FMT_S16) {
        std::memcpy(frame->data[0], samples, static_cast<size_t>(frameSize) * channels * 2);
    } else {
        for (int32_t c = 0; c < channels; ++c) {
            auto* plane = reinterpret_cast<float*>(frame->extended_data[c]);
            const int16_t* in = samples + c;
            for (int32_t i = 0; i < frameSize; ++i, in += channels)
                plane[i] = static_cast<float>(*in) * (1.0f / 32768.0f);
        }
    }
    frame->pts = nextPts;
    nextPts += frameSize;

    int result = avcodec_send_frame(context, frame);
    if (result < 0)
        return result;

    int32_t written = 0;
    int32_t failure = 0;
    for (;;) {
        result = avcodec_receive_packet(context, packet);
        if (result == AVERROR(EAGAIN) || result == AVERROR_EOF)
            break;
        if (result < 0)
            return result;
        const int32_t length = kAdtsHeaderBytes + packet->size;
        uint8_t* h = out + written;
        if (packet->size <= 0 || length > capacity - written ||
            !adts.Write(h, static_cast<size_t>(packet->size))) {
            // Too big for an ADTS frame or for the room left: lost, and said so.
            failure = AVERROR(ENOSPC);
            av_packet_unref(packet);
            continue;
        }
        std::memcpy(h + kAdtsHeaderBytes, packet->data, static_cast<size_t>(packet->size));
        written += length;
        av_packet_unref(packet);
    }
    return failure ? failure : written;
}

void CAudioEncoder::Close() {
    FreeContext();
    frameSize = 0;
    channels = 0;
}
