#include "tools/media/CAacEncoder.h"

#include "core/PacketHeader.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

namespace media {

CAacEncoder::~CAacEncoder() {
    Close();
}

bool CAacEncoder::Open(int sampleRate, int channelCount, std::string& error, int64_t bitRate) {
    Close();
    if (!adts.FromParameters(sampleRate, channelCount)) {
        error = "AAC cannot carry " + std::to_string(sampleRate) + " Hz with " +
                std::to_string(channelCount) + " channels";
        return false;
    }
    const AVCodec* codec = avcodec_find_encoder_by_name("aac");
    if (!codec) {
        error = "the AAC encoder is not available in this libavcodec";
        return false;
    }
    if (!Allocate(codec)) {
        error = "out of memory";
        Close();
        return false;
    }
    context->sample_fmt = AV_SAMPLE_FMT_FLTP;
    context->sample_rate = sampleRate;
    av_channel_layout_default(&context->ch_layout, channelCount);
    context->bit_rate = bitRate > 0 ? bitRate : 64000 * channelCount;
    context->time_base = AVRational{1, sampleRate};
    context->profile = FF_PROFILE_AAC_LOW;
    int rc = avcodec_open2(context, codec, nullptr);
    if (rc < 0) {
        error = "cannot open the AAC encoder";
        Close();
        return false;
    }
    fifo = av_audio_fifo_alloc(AV_SAMPLE_FMT_FLTP, channelCount, context->frame_size * 4);
    if (!fifo) {
        error = "out of memory";
        Close();
        return false;
    }
    rate = sampleRate;
    channels = channelCount;
    return true;
}

int CAacEncoder::FrameSize() const {
    return context ? context->frame_size : 0;
}

bool CAacEncoder::CopyParameters(AVCodecParameters* parameters) const {
    return context && avcodec_parameters_from_context(parameters, context) >= 0;
}

void CAacEncoder::Close() {
    Free();
    if (fifo) {
        av_audio_fifo_free(fifo);
        fifo = nullptr;
    }
    if (swr)
        swr_free(&swr);
    inFormat = -1;
    inRate = inChannels = 0;
    inLayout = 0;
    samplesEncoded = 0;
    startUs = -1;
    drained = false;
}

bool CAacEncoder::Resample(const AVFrame* in) {
    uint64_t layout = in->ch_layout.order == AV_CHANNEL_ORDER_NATIVE ? in->ch_layout.u.mask : 0;
    if (!swr || in->format != inFormat || in->sample_rate != inRate || layout != inLayout ||
        in->ch_layout.nb_channels != inChannels) {
        if (swr)
            swr_free(&swr);
        AVChannelLayout inLay{};
        if (layout)
            av_channel_layout_copy(&inLay, &in->ch_layout);
        else
            av_channel_layout_default(&inLay, in->ch_layout.nb_channels);
        int rc = swr_alloc_set_opts2(&swr, &context->ch_layout, AV_SAMPLE_FMT_FLTP, rate, &inLay,
                                     AVSampleFormat(in->format), in->sample_rate, 0, nullptr);
        av_channel_layout_uninit(&inLay);
        if (rc < 0 || swr_init(swr) < 0)
            return false;
        inFormat = in->format;
        inRate = in->sample_rate;
        inLayout = layout;
        inChannels = in->ch_layout.nb_channels;
    }
    int room = swr_get_out_samples(swr, in->nb_samples);
    if (room <= 0)
        return true;
    uint8_t** planes = nullptr;
    if (av_samples_alloc_array_and_samples(&planes, nullptr, channels, room, AV_SAMPLE_FMT_FLTP,
                                           0) < 0)
        return false;
    int got = swr_convert(swr, planes, room, const_cast<const uint8_t**>(in->extended_data),
                          in->nb_samples);
    bool ok = got >= 0 &&
              (got == 0 || av_audio_fifo_write(fifo, reinterpret_cast<void**>(planes), got) == got);
    av_freep(&planes[0]);
    av_freep(&planes);
    return ok;
}

bool CAacEncoder::Push(const AVFrame* in, int64_t start, std::vector<CMediaPacket>& out) {
    if (!context || drained)
        return false;
    if (startUs < 0)
        startUs = start;
    if (in && !Resample(in))
        return false;
    return EncodeQueued(in == nullptr, out);
}

bool CAacEncoder::EncodeQueued(bool drain, std::vector<CMediaPacket>& out) {
    const int size = context->frame_size;
    while (av_audio_fifo_size(fifo) >= size || (drain && av_audio_fifo_size(fifo) > 0)) {
        int n = std::min(size, av_audio_fifo_size(fifo));
        av_frame_unref(frame);
        frame->nb_samples = n;
        frame->format = AV_SAMPLE_FMT_FLTP;
        frame->sample_rate = rate;
        av_channel_layout_copy(&frame->ch_layout, &context->ch_layout);
        if (av_frame_get_buffer(frame, 0) < 0)
            return false;
        if (av_audio_fifo_read(fifo, reinterpret_cast<void**>(frame->data), n) != n)
            return false;
        frame->pts = samplesEncoded;
        samplesEncoded += n;
        if (avcodec_send_frame(context, frame) < 0)
            return false;
        if (!Receive(out))
            return false;
    }
    if (drain) {
        drained = true;
        if (avcodec_send_frame(context, nullptr) < 0)
            return false;
        return Receive(out);
    }
    return true;
}

bool CAacEncoder::Receive(std::vector<CMediaPacket>& out) {
    for (;;) {
        int rc = avcodec_receive_packet(context, packet);
        if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF)
            return true;
        if (rc < 0)
            return false;
        CMediaPacket p;
        p.type = kPacketAudio;
        int64_t pts = packet->pts == AV_NOPTS_VALUE ? 0 : packet->pts;
        if (pts < 0)
            pts = 0;
        p.timeUs = startUs + av_rescale(pts, 1000000, rate);
        p.value1 = uint16_t(rate);
        p.value2 = uint16_t(channels);
        p.data.resize(CAdtsHeader::kSize + size_t(packet->size));
        bool ok = adts.Write(p.data.data(), size_t(packet->size));
        if (ok) {
            std::copy(packet->data, packet->data + packet->size,
                      p.data.begin() + CAdtsHeader::kSize);
            out.push_back(std::move(p));
        }
        av_packet_unref(packet);
    }
}

} // namespace media
