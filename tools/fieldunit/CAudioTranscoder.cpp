#include "CAudioTranscoder.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

CAudioTranscoder::~CAudioTranscoder() {
    Close();
}

bool CAudioTranscoder::Open(const AVCodecParameters* par, std::string& error) {
    Close();
    const AVCodec* codec = avcodec_find_decoder(par->codec_id);
    if (!codec) {
        error = std::string("no decoder for the audio codec ") + avcodec_get_name(par->codec_id);
        return false;
    }
    decoder = avcodec_alloc_context3(codec);
    decoded = av_frame_alloc();
    if (!decoder || !decoded || avcodec_parameters_to_context(decoder, par) < 0 ||
        avcodec_open2(decoder, codec, nullptr) < 0) {
        error = std::string("cannot open the decoder for ") + avcodec_get_name(par->codec_id);
        Close();
        return false;
    }
    // Keep the source's rate when AAC can carry it and the header's 16-bit
    // field can hold it; stereo at most, which any studio plays.
    int rate = par->sample_rate;
    if (CAdtsHeader::RateIndex(rate) < 0 || rate > 65535)
        rate = 48000;
    int channels = par->ch_layout.nb_channels == 1 ? 1 : 2;
    return encoder.Open(rate, channels, error);
}

void CAudioTranscoder::Close() {
    if (decoder)
        avcodec_free_context(&decoder);
    if (decoded)
        av_frame_free(&decoded);
    encoder.Close();
}

bool CAudioTranscoder::Push(const AVPacket* packet, int64_t firstUs,
                            std::vector<media::CMediaPacket>& out) {
    if (!decoder)
        return false;
    int rc = avcodec_send_packet(decoder, packet);
    if (rc < 0 && rc != AVERROR_EOF && rc != AVERROR_INVALIDDATA)
        return false;
    for (;;) {
        rc = avcodec_receive_frame(decoder, decoded);
        if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF)
            return true;
        if (rc == AVERROR_INVALIDDATA)
            return true;
        if (rc < 0)
            return false;
        bool ok = encoder.Push(decoded, firstUs, out);
        av_frame_unref(decoded);
        if (!ok)
            return false;
    }
}

void CAudioTranscoder::Restart() {
    if (decoder)
        avcodec_flush_buffers(decoder);
}

bool CAudioTranscoder::Finish(std::vector<media::CMediaPacket>& out) {
    return encoder.Push(nullptr, 0, out);
}
