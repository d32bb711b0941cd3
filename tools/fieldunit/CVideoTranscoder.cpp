#include "CVideoTranscoder.h"

#include "CLog.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libswscale/swscale.h>
}

CVideoTranscoder::~CVideoTranscoder() {
    Close();
}

bool CVideoTranscoder::Open(const AVCodecParameters* par, int fps, int64_t bitrate, int slices,
                            std::string& error) {
    Close();
    const AVCodec* codec = avcodec_find_decoder(par->codec_id);
    if (!codec) {
        error = std::string("no decoder for the video codec ") + avcodec_get_name(par->codec_id);
        return false;
    }
    decoder = avcodec_alloc_context3(codec);
    decoded = av_frame_alloc();
    converted = av_frame_alloc();
    if (!decoder || !decoded || !converted || avcodec_parameters_to_context(decoder, par) < 0 ||
        avcodec_open2(decoder, codec, nullptr) < 0) {
        error = std::string("cannot open the decoder for ") + avcodec_get_name(par->codec_id);
        Close();
        return false;
    }
    settings.frameRate = fps;
    settings.bitRate = bitrate;
    settings.slices = slices;
    return true;
}

void CVideoTranscoder::Close() {
    if (decoder)
        avcodec_free_context(&decoder);
    if (decoded)
        av_frame_free(&decoded);
    if (converted)
        av_frame_free(&converted);
    if (sws) {
        sws_freeContext(sws);
        sws = nullptr;
    }
    encoder.Close();
    encoderOpen = false;
    lastUs = -1;
    failed = false;
}

bool CVideoTranscoder::Send(const AVPacket* packet) {
    if (!decoder)
        return false;
    int rc = avcodec_send_packet(decoder, packet);
    // A damaged packet costs a picture, not the stream.
    if (rc < 0 && rc != AVERROR_EOF && rc != AVERROR_INVALIDDATA)
        return false;
    return true;
}

AVFrame* CVideoTranscoder::NextFrame() {
    av_frame_unref(decoded);
    int rc = avcodec_receive_frame(decoder, decoded);
    if (rc == 0)
        return decoded;
    if (rc != AVERROR(EAGAIN) && rc != AVERROR_EOF && rc != AVERROR_INVALIDDATA)
        failed = true;
    return nullptr;
}

int64_t CVideoTranscoder::FrameTime(const AVFrame* f) {
    return f->best_effort_timestamp != AV_NOPTS_VALUE ? f->best_effort_timestamp : f->pts;
}

void CVideoTranscoder::Restart() {
    if (!decoder)
        return;
    avcodec_flush_buffers(decoder);
}

bool CVideoTranscoder::Encode(AVFrame* in, int64_t timeUs, std::vector<media::CMediaPacket>& out) {
    if (!encoderOpen) {
        // 4:2:0 wants even sizes; an odd last row or column is dropped.
        settings = media::CH264Encoder::Live(in->width & ~1, in->height & ~1, settings.frameRate,
                                             settings.bitRate, settings.slices);
        if (settings.width < 2 || settings.height < 2 || settings.width > 65535 ||
            settings.height > 65535)
            return false;
        std::string error;
        if (!encoder.Open(settings, error)) {
            CLog::Error(error);
            return false;
        }
        encoderOpen = true;
        converted->format = AV_PIX_FMT_YUV420P;
        converted->width = settings.width;
        converted->height = settings.height;
        if (av_frame_get_buffer(converted, 0) < 0)
            return false;
    }
    // The encoder needs strictly rising times; a repeated or stepped-back
    // picture is dropped.
    if (timeUs <= lastUs)
        return true;
    sws = sws_getCachedContext(sws, in->width, in->height, AVPixelFormat(in->format),
                               settings.width, settings.height, AV_PIX_FMT_YUV420P, SWS_BILINEAR,
                               nullptr, nullptr, nullptr);
    if (!sws || av_frame_make_writable(converted) < 0)
        return false;
    sws_scale(sws, in->data, in->linesize, 0, in->height, converted->data, converted->linesize);
    converted->pts = timeUs;
    lastUs = timeUs;
    return encoder.Encode(converted, out);
}

bool CVideoTranscoder::Finish(std::vector<media::CMediaPacket>& out) {
    return !encoderOpen || encoder.Encode(nullptr, out);
}
