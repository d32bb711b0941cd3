#include "tools/media/CH264Encoder.h"

#include "core/PacketHeader.h"
#include "tools/media/I420Picture.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/log.h>
#include <libavutil/mathematics.h>
#include <libavutil/opt.h>
}

#include <algorithm>
#include <climits>
#include <cstring>

namespace media {

CH264Encoder::Settings CH264Encoder::Live(int width, int height, int fps, int64_t bitRate,
                                          int slices) {
    Settings s;
    s.width = width;
    s.height = height;
    s.frameRate = fps;
    s.bitRate = bitRate;
    s.slices = slices;
    s.threads = slices;
    s.keyInterval = 2 * fps;
    s.minKeyInterval = fps;
    s.timeBase = AVRational{1, 1000000};
    // Pictures above 720p cost too much for veryfast on a small machine.
    s.preset = int64_t(width) * height * fps > 1280 * 720 * 30 ? "ultrafast" : "veryfast";
    return s;
}

CH264Encoder::CH264Encoder(int width, int height) : CH264Encoder(Settings{width, height}) {}

CH264Encoder::CH264Encoder(const Settings& s) {
    std::string error;
    Open(s, error);
}

CH264Encoder::~CH264Encoder() {
    Close();
}

bool CH264Encoder::Open(const Settings& s, std::string& error) {
    Close();
    settings = s;
    // The encoder's statistics would bury what the caller prints; a quieter
    // level set by the caller stays.
    if (av_log_get_level() > AV_LOG_ERROR)
        av_log_set_level(AV_LOG_ERROR);
    const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
    if (!codec) {
        error = "the H.264 encoder libx264 is not available in this libavcodec";
        return false;
    }
    if (!Allocate(codec)) {
        error = "out of memory";
        Close();
        return false;
    }
    context->width = s.width;
    context->height = s.height;
    context->pix_fmt = s.monochrome ? AV_PIX_FMT_GRAY8 : AV_PIX_FMT_YUV420P;
    context->time_base = s.timeBase.num > 0 ? s.timeBase : AVRational{1, s.frameRate};
    context->framerate = AVRational{s.frameRate, 1};
    context->gop_size = s.keyInterval;
    if (s.minKeyInterval > 0)
        context->keyint_min = s.minKeyInterval;
    context->max_b_frames = 0;
    context->colorspace = s.colourSpace;
    context->color_range = s.colourRange;
    context->thread_count = std::max(1, s.threads);
    if (s.bitRate > 0) {
        context->bit_rate = s.bitRate;
        context->rc_max_rate = s.bitRate;
        context->rc_buffer_size = int(std::min<int64_t>(s.bitRate, INT_MAX));
    }
    av_opt_set(context->priv_data, "preset", s.preset.c_str(), 0);
    av_opt_set(context->priv_data, "tune", "zerolatency", 0);
    av_opt_set(context->priv_data, "forced-idr", "1", 0);
    // No global header flag: libx264 then repeats SPS and PPS before every
    // key frame, in the stream itself.
    std::string params = "slices=" + std::to_string(s.slices) + ":scenecut=0:repeat-headers=1";
    if (s.intraRefresh)
        params += ":intra-refresh=1";
    av_opt_set(context->priv_data, "x264-params", params.c_str(), 0);
    int rc = avcodec_open2(context, codec, nullptr);
    if (rc < 0) {
        char text[AV_ERROR_MAX_STRING_SIZE] = {};
        av_strerror(rc, text, sizeof text);
        error = std::string("cannot open the H.264 encoder: ") + text;
        Close();
        return false;
    }
    frame->width = s.width;
    frame->height = s.height;
    frame->format = context->pix_fmt;
    if (av_frame_get_buffer(frame, 0) < 0) {
        error = "out of memory";
        Close();
        return false;
    }
    pictures = 0;
    return true;
}

void CH264Encoder::Close() {
    Free();
}

bool CH264Encoder::Encode(AVFrame* picture, std::vector<CMediaPacket>& out, bool forceKey) {
    if (!context)
        return false;
    if (picture)
        picture->pict_type = forceKey ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
    int rc = avcodec_send_frame(context, picture);
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

CMediaPacket CH264Encoder::Encode(const std::vector<uint8_t>& i420, bool forceKey) {
    CMediaPacket joined;
    const int w = settings.width, h = settings.height;
    if (!context || i420.size() < I420Size(w, h) || av_frame_make_writable(frame) < 0)
        return joined;
    const int planes = settings.monochrome ? 1 : 3;
    const int pw[3] = {w, w / 2, w / 2}, ph[3] = {h, h / 2, h / 2};
    const uint8_t* src = i420.data();
    for (int i = 0; i < planes; ++i) {
        for (int row = 0; row < ph[i]; ++row)
            std::memcpy(frame->data[i] + size_t(row) * frame->linesize[i],
                        src + size_t(row) * pw[i], size_t(pw[i]));
        src += size_t(pw[i]) * ph[i];
    }
    frame->pts = av_rescale_q(pictures++, AVRational{1, settings.frameRate}, context->time_base);
    std::vector<CMediaPacket> out;
    if (!Encode(frame, out, forceKey))
        return joined;
    for (CMediaPacket& p : out) {
        if (joined.data.empty()) {
            joined = std::move(p);
            continue;
        }
        joined.data.insert(joined.data.end(), p.data.begin(), p.data.end());
        joined.key = joined.key || p.key;
    }
    return joined;
}

std::vector<CMediaPacket> CH264Encoder::EncodePattern(int count) {
    std::vector<CMediaPacket> clip;
    clip.reserve(size_t(count));
    for (int i = 0; i < count; ++i)
        clip.push_back(Encode(PatternPicture(settings.width, settings.height, i), i == 0));
    return clip;
}

} // namespace media
