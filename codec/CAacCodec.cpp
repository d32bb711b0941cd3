#include "CAacCodec.h"

bool CAacCodec::NewContext(Direction direction, const WAVEFORMATEX* format, int32_t bitRate) {
    if (!format || format->nChannels == 0 || format->nChannels > kMaxChannels ||
        format->nSamplesPerSec == 0 || format->nSamplesPerSec > 0x7FFFFFFF)
        return false;
    codec = direction == Direction::kDecode ? avcodec_find_decoder(AV_CODEC_ID_AAC)
                                            : avcodec_find_encoder(AV_CODEC_ID_AAC);
    if (!codec)
        return false;
    context = avcodec_alloc_context3(codec);
    if (!context)
        return false;
    // A bit rate of 0 lets an encoder choose its own for the channel count.
    context->bit_rate = bitRate;
    context->sample_rate = static_cast<int>(format->nSamplesPerSec);
    av_channel_layout_default(&context->ch_layout, format->nChannels);
    return true;
}

void CAacCodec::FreeContext() {
    if (context)
        avcodec_free_context(&context);
    if (frame)
        av_frame_free(&frame);
    if (packet)
        av_packet_free(&packet);
}
