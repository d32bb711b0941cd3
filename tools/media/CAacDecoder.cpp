#include "tools/media/CAacDecoder.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libswresample/swresample.h>
}

#include <algorithm>

namespace media {

CAacDecoder::~CAacDecoder() {
    Close();
}

bool CAacDecoder::Open(int sampleRate, int channelCount) {
    Close();
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_AAC);
    if (!codec)
        return false;
    if (!Allocate(codec) || avcodec_open2(context, codec, nullptr) < 0) {
        Close();
        return false;
    }
    rate = sampleRate;
    channels = channelCount;
    return true;
}

void CAacDecoder::Close() {
    Free();
    if (swr)
        swr_free(&swr);
    swrFormat = -1;
    swrRate = swrChannels = 0;
}

bool CAacDecoder::Decode(const uint8_t* data, size_t size, std::vector<int16_t>& pcm) {
    if (!context || size == 0 || size > 0x10000)
        return false;
    if (av_new_packet(packet, int(size)) < 0)
        return false;
    std::copy(data, data + size, packet->data);
    int rc = avcodec_send_packet(context, packet);
    av_packet_unref(packet);
    if (rc < 0)
        return false;
    bool ok = true;
    while ((rc = avcodec_receive_frame(context, frame)) == 0) {
        // Whatever the frame says, the output keeps the announced format, so
        // that the WAV file and the device never change format mid-stream.
        if (rate == 0 || channels == 0) {
            rate = frame->sample_rate;
            channels = frame->ch_layout.nb_channels;
        }
        if (!swr || frame->format != swrFormat || frame->sample_rate != swrRate ||
            frame->ch_layout.nb_channels != swrChannels) {
            if (swr)
                swr_free(&swr);
            AVChannelLayout out{}, in{};
            av_channel_layout_default(&out, channels);
            av_channel_layout_default(&in, frame->ch_layout.nb_channels);
            rc = swr_alloc_set_opts2(&swr, &out, AV_SAMPLE_FMT_S16, rate, &in,
                                     AVSampleFormat(frame->format), frame->sample_rate, 0, nullptr);
            if (rc < 0 || swr_init(swr) < 0) {
                if (swr)
                    swr_free(&swr);
                av_frame_unref(frame);
                return false;
            }
            swrFormat = frame->format;
            swrRate = frame->sample_rate;
            swrChannels = frame->ch_layout.nb_channels;
        }
        int room = swr_get_out_samples(swr, frame->nb_samples);
        if (room > 0) {
            size_t at = pcm.size();
            pcm.resize(at + size_t(room) * size_t(channels));
            uint8_t* outPlane = reinterpret_cast<uint8_t*>(pcm.data() + at);
            int got =
                swr_convert(swr, &outPlane, room, const_cast<const uint8_t**>(frame->extended_data),
                            frame->nb_samples);
            pcm.resize(at + size_t(std::max(got, 0)) * size_t(channels));
            if (got < 0)
                ok = false;
        }
        av_frame_unref(frame);
    }
    return ok && (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF);
}

bool CAacDecoder::DecodeStream(const std::vector<uint8_t>& stream, std::vector<int16_t>& pcm) {
    AVCodecParserContext* parser = av_parser_init(AV_CODEC_ID_AAC);
    if (!parser || !context)
        return false;
    // The parser reads past its input; give it a padded copy.
    std::vector<uint8_t> padded(stream);
    padded.resize(stream.size() + AV_INPUT_BUFFER_PADDING_SIZE, 0);
    const uint8_t* data = padded.data();
    int left = int(stream.size());
    const size_t before = pcm.size();
    bool ok = true;
    while (ok) {
        uint8_t* frameData = nullptr;
        int frameSize = 0;
        int used = av_parser_parse2(parser, context, &frameData, &frameSize, data, left,
                                    AV_NOPTS_VALUE, AV_NOPTS_VALUE, 0);
        if (used < 0)
            break;
        data += used;
        left -= used;
        if (frameSize > 0)
            ok = Decode(frameData, size_t(frameSize), pcm);
        else if (left == 0)
            break; // the parser has given its last frame
    }
    av_parser_close(parser);
    return ok && pcm.size() > before;
}

} // namespace media
