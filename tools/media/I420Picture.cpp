#include "H264Maker.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/log.h>
#include <libavutil/opt.h>
}

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>

namespace testing_support {

namespace {

uint8_t Clamp(double v) {
    return uint8_t(std::clamp(std::lround(v), 0L, 255L));
}

void FillRect(std::vector<uint8_t>& p, int w, int h, int x0, int y0, int x1, int y1, Yuv c) {
    uint8_t* y = p.data();
    uint8_t* u = y + size_t(w) * h;
    uint8_t* v = u + size_t(w / 2) * (h / 2);
    for (int row = y0; row < y1; ++row)
        std::memset(y + size_t(row) * w + x0, c.y, size_t(x1 - x0));
    for (int row = y0 / 2; row < std::min(y1 / 2, h / 2); ++row) {
        int from = x0 / 2, to = std::min(x1 / 2, w / 2);
        std::memset(u + size_t(row) * (w / 2) + from, c.u, size_t(to - from));
        std::memset(v + size_t(row) * (w / 2) + from, c.v, size_t(to - from));
    }
}

} // namespace

Yuv YuvFromRgb(int r, int g, int b) {
    return {Clamp(16 + (65.481 * r + 128.553 * g + 24.966 * b) / 255),
            Clamp(128 + (-37.797 * r - 74.203 * g + 112.0 * b) / 255),
            Clamp(128 + (112.0 * r - 93.786 * g - 18.214 * b) / 255)};
}

size_t I420Size(int width, int height) {
    return size_t(width) * height + 2 * size_t(width / 2) * (height / 2);
}

std::vector<uint8_t> SolidPicture(int width, int height, Yuv colour) {
    std::vector<uint8_t> p(I420Size(width, height));
    FillRect(p, width, height, 0, 0, width, height, colour);
    return p;
}

int PatternBoxSide(int width, int height) {
    return std::max(2, std::min(height / 4, width / 4) & ~1);
}

int PatternBoxLeft(int width, int index) {
    int step = std::max(2, (width / 32) & ~1);
    int span = std::max(2, width - width / 4);
    return ((index * step) % span) & ~1;
}

std::vector<uint8_t> PatternPicture(int width, int height, int index) {
    std::vector<uint8_t> p(I420Size(width, height));
    int midX = (width / 2) & ~1, midY = (height / 2) & ~1;
    FillRect(p, width, height, 0, 0, midX, midY, YuvFromRgb(255, 0, 0));
    FillRect(p, width, height, midX, 0, width, midY, YuvFromRgb(0, 255, 0));
    FillRect(p, width, height, 0, midY, midX, height, YuvFromRgb(0, 0, 255));
    FillRect(p, width, height, midX, midY, width, height, YuvFromRgb(255, 255, 255));
    int side = PatternBoxSide(width, height);
    int left = PatternBoxLeft(width, index);
    int top = (midY - side / 2) & ~1;
    FillRect(p, width, height, left, top, std::min(width, left + side),
             std::min(height, top + side), YuvFromRgb(255, 255, 0));
    return p;
}

H264Maker::H264Maker(int width, int height) : H264Maker(Settings{width, height}) {}

H264Maker::H264Maker(const Settings& s) : settings(s) {
    // The encoder's statistics would bury the test output; a quieter level
    // set by the code under test stays.
    if (av_log_get_level() > AV_LOG_ERROR)
        av_log_set_level(AV_LOG_ERROR);
    const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
    if (!codec)
        return;
    AVCodecContext* c = avcodec_alloc_context3(codec);
    if (!c)
        return;
    c->width = s.width;
    c->height = s.height;
    c->pix_fmt = s.monochrome ? AV_PIX_FMT_GRAY8 : AV_PIX_FMT_YUV420P;
    c->time_base = AVRational{1, s.frameRate};
    c->framerate = AVRational{s.frameRate, 1};
    c->gop_size = s.keyInterval;
    c->max_b_frames = 0;
    c->colorspace = s.colourSpace;
    c->color_range = s.colourRange;
    c->thread_count = std::max(1, s.threads);
    if (s.bitRate > 0) {
        c->bit_rate = s.bitRate;
        c->rc_max_rate = s.bitRate;
        c->rc_buffer_size = int(std::min<int64_t>(s.bitRate, INT32_MAX));
    }
    av_opt_set(c->priv_data, "preset", s.preset.c_str(), 0);
    av_opt_set(c->priv_data, "tune", "zerolatency", 0);
    av_opt_set(c->priv_data, "forced-idr", "1", 0);
    std::string params = "slices=" + std::to_string(s.slices) + ":scenecut=0:bframes=0";
    av_opt_set(c->priv_data, "x264-params", params.c_str(), 0);
    // No global header: the parameter sets travel in band, Annex B.
    if (avcodec_open2(c, codec, nullptr) < 0) {
        avcodec_free_context(&c);
        return;
    }
    frame = av_frame_alloc();
    packet = av_packet_alloc();
    if (frame) {
        frame->width = s.width;
        frame->height = s.height;
        frame->format = c->pix_fmt;
    }
    if (!frame || !packet || av_frame_get_buffer(frame, 0) < 0) {
        avcodec_free_context(&c);
        return;
    }
    context = c;
}

H264Maker::~H264Maker() {
    avcodec_free_context(&context);
    av_frame_free(&frame);
    av_packet_free(&packet);
}

H264Packet H264Maker::Encode(const std::vector<uint8_t>& i420, bool forceKey) {
    H264Packet out;
    const int w = settings.width, h = settings.height;
    if (!context || i420.size() < I420Size(w, h) || av_frame_make_writable(frame) < 0)
        return out;
    const int planes = settings.monochrome ? 1 : 3;
    const int pw[3] = {w, w / 2, w / 2}, ph[3] = {h, h / 2, h / 2};
    const uint8_t* src = i420.data();
    for (int i = 0; i < planes; ++i) {
        for (int row = 0; row < ph[i]; ++row)
            std::memcpy(frame->data[i] + size_t(row) * frame->linesize[i],
                        src + size_t(row) * pw[i], size_t(pw[i]));
        src += size_t(pw[i]) * ph[i];
    }
    frame->pts = pts++;
    frame->pict_type = forceKey ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
    if (avcodec_send_frame(context, frame) < 0)
        return out;
    while (avcodec_receive_packet(context, packet) == 0) {
        out.data.insert(out.data.end(), packet->data, packet->data + packet->size);
        out.key = out.key || (packet->flags & AV_PKT_FLAG_KEY) != 0;
        av_packet_unref(packet);
    }
    return out;
}

std::vector<H264Packet> H264Maker::EncodePattern(int count) {
    std::vector<H264Packet> clip;
    clip.reserve(size_t(count));
    for (int i = 0; i < count; ++i)
        clip.push_back(Encode(PatternPicture(settings.width, settings.height, i), i == 0));
    return clip;
}

} // namespace testing_support
