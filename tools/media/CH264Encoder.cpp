#include "CH264Encoder.h"

#include "core/PacketHeader.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/opt.h>
}

CH264Encoder::~CH264Encoder() {
    Close();
}

bool CH264Encoder::Open(const Settings& s, std::string& error) {
    Close();
    settings = s;
    const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
    if (!codec) {
        error = "the H.264 encoder libx264 is not available in this libavcodec";
        return false;
    }
    context = avcodec_alloc_context3(codec);
    packet = av_packet_alloc();
    if (!context || !packet) {
        error = "out of memory";
        Close();
        return false;
    }
    context->width = s.width;
    context->height = s.height;
    context->pix_fmt = AV_PIX_FMT_YUV420P;
    context->time_base = AVRational{1, 1000000};
    context->framerate = AVRational{s.fps, 1};
    context->gop_size = 2 * s.fps;
    context->keyint_min = s.fps;
    context->max_b_frames = 0;
    context->slices = s.slices;
    // zerolatency encodes the slices of a picture on threads of their own and
    // makes one slice per thread: the thread count sets the slice count.
    context->thread_count = s.slices;
    context->bit_rate = s.bitrate;
    context->rc_max_rate = s.bitrate;
    context->rc_buffer_size = int(s.bitrate);
    // Pictures above 720p cost too much for veryfast on a small machine.
    const char* preset =
        int64_t(s.width) * s.height * s.fps > 1280 * 720 * 30 ? "ultrafast" : "veryfast";
    av_opt_set(context->priv_data, "preset", preset, 0);
    av_opt_set(context->priv_data, "tune", "zerolatency", 0);
    // No global header flag: libx264 then repeats SPS and PPS before every
    // key frame, in the stream itself.
    av_opt_set(context->priv_data, "x264-params", "repeat-headers=1:scenecut=0", 0);
    int rc = avcodec_open2(context, codec, nullptr);
    if (rc < 0) {
        char text[AV_ERROR_MAX_STRING_SIZE] = {};
        av_strerror(rc, text, sizeof text);
        error = std::string("cannot open the H.264 encoder: ") + text;
        Close();
        return false;
    }
    return true;
}

void CH264Encoder::Close() {
    if (context)
        avcodec_free_context(&context);
    if (packet)
        av_packet_free(&packet);
}

bool CH264Encoder::Encode(AVFrame* frame, std::vector<CMediaPacket>& out) {
    if (!context)
        return false;
    if (frame)
        frame->pict_type = AV_PICTURE_TYPE_NONE;
    int rc = avcodec_send_frame(context, frame);
    if (rc < 0 && rc != AVERROR_EOF)
        return false;
    for (;;) {
        rc = avcodec_receive_packet(context, packet);
        if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF)
            return true;
        if (rc < 0)
            return false;
        CMediaPacket p;
        p.type = kPacketVideo;
        p.key = (packet->flags & AV_PKT_FLAG_KEY) != 0;
        p.timeUs = packet->dts != AV_NOPTS_VALUE ? packet->dts : packet->pts;
        p.value1 = uint16_t(settings.width);
        p.value2 = uint16_t(settings.height);
        p.data.assign(packet->data, packet->data + packet->size);
        out.push_back(std::move(p));
        av_packet_unref(packet);
    }
}
