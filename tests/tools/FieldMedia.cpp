#include "FieldMedia.h"

#include "tools/media/AacTone.h"
#include "tools/media/CAacDecoder.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iterator>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
}

namespace fieldmedia {

std::vector<int> NalTypes(const std::vector<uint8_t>& au) {
    std::vector<int> types;
    size_t i = 0;
    const size_t n = au.size();
    if (!(n > 4 && au[0] == 0 && au[1] == 0 && (au[2] == 1 || (au[2] == 0 && au[3] == 1))))
        return types;
    while (i + 3 <= n) {
        if (au[i] == 0 && au[i + 1] == 0 && au[i + 2] == 1) {
            if (i + 3 < n)
                types.push_back(au[i + 3] & 0x1F);
            i += 3;
        } else {
            ++i;
        }
    }
    return types;
}

VideoResult DecodeH264(const std::vector<std::vector<uint8_t>>& aus) {
    VideoResult r;
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
    AVCodecContext* c = avcodec_alloc_context3(codec);
    avcodec_open2(c, codec, nullptr);
    AVPacket* p = av_packet_alloc();
    AVFrame* f = av_frame_alloc();
    auto drain = [&] {
        while (avcodec_receive_frame(c, f) == 0) {
            ++r.frames;
            r.width = f->width;
            r.height = f->height;
            av_frame_unref(f);
        }
    };
    for (auto& au : aus) {
        av_new_packet(p, int(au.size()));
        std::copy(au.begin(), au.end(), p->data);
        if (avcodec_send_packet(c, p) < 0)
            ++r.failures;
        av_packet_unref(p);
        drain();
    }
    avcodec_send_packet(c, nullptr);
    drain();
    av_frame_free(&f);
    av_packet_free(&p);
    avcodec_free_context(&c);
    return r;
}

AudioResult DecodeAac(const std::vector<std::vector<uint8_t>>& packets) {
    AudioResult r;
    media::CAacDecoder decoder;
    std::vector<int16_t> pcm;
    r.failures = decoder.Open() ? 0 : 1;
    for (auto& data : packets) {
        const size_t before = pcm.size();
        if (!decoder.Decode(data.data(), data.size(), pcm))
            ++r.failures;
        r.frames += pcm.size() > before ? 1 : 0;
    }
    r.sampleRate = decoder.StreamSampleRate();
    r.channels = decoder.StreamChannels();
    return r;
}

namespace {

struct Output {
    AVFormatContext* format = nullptr;
    AVCodecContext* video = nullptr;
    AVCodecContext* audio = nullptr;
    AVStream* videoStream = nullptr;
    AVStream* audioStream = nullptr;
    AVPacket* packet = av_packet_alloc();
    ~Output() {
        avcodec_free_context(&video);
        avcodec_free_context(&audio);
        if (format) {
            if (format->pb)
                avio_closep(&format->pb);
            avformat_free_context(format);
        }
        av_packet_free(&packet);
    }
    bool Drain(AVCodecContext* c, AVStream* s) {
        int rc;
        while ((rc = avcodec_receive_packet(c, packet)) == 0) {
            av_packet_rescale_ts(packet, c->time_base, s->time_base);
            packet->stream_index = s->index;
            if (av_interleaved_write_frame(format, packet) < 0)
                return false;
        }
        return rc == AVERROR(EAGAIN) || rc == AVERROR_EOF;
    }
};

AVCodecContext* OpenEncoder(const std::string& name, AVFormatContext* format,
                            void (*setup)(AVCodecContext*, const AVCodec*, void*), void* arg) {
    const AVCodec* codec = avcodec_find_encoder_by_name(name.c_str());
    if (!codec)
        return nullptr;
    AVCodecContext* c = avcodec_alloc_context3(codec);
    setup(c, codec, arg);
    if (format->oformat->flags & AVFMT_GLOBALHEADER)
        c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    if (avcodec_open2(c, codec, nullptr) < 0)
        avcodec_free_context(&c);
    return c;
}

} // namespace

bool MakeMediaFile(const std::string& path, const std::string& container,
                   const std::string& videoCodec, const std::string& audioCodec, double seconds,
                   int width, int height, std::string& error) {
    Output o;
    if (avformat_alloc_output_context2(&o.format, nullptr, container.c_str(), path.c_str()) < 0) {
        error = "no muxer " + container;
        return false;
    }
    struct Size {
        int w, h;
    } size{width, height};
    if (!videoCodec.empty()) {
        o.video = OpenEncoder(
            videoCodec, o.format,
            [](AVCodecContext* c, const AVCodec*, void* a) {
                auto* s = static_cast<Size*>(a);
                c->width = s->w;
                c->height = s->h;
                c->pix_fmt = AV_PIX_FMT_YUV420P;
                c->time_base = AVRational{1, 25};
                c->framerate = AVRational{25, 1};
                c->gop_size = 25;
                c->bit_rate = 300000;
                if (c->priv_data)
                    av_opt_set(c->priv_data, "preset", "ultrafast", 0);
            },
            &size);
        if (!o.video) {
            error = "cannot open encoder " + videoCodec;
            return false;
        }
        o.videoStream = avformat_new_stream(o.format, nullptr);
        avcodec_parameters_from_context(o.videoStream->codecpar, o.video);
        o.videoStream->time_base = o.video->time_base;
    }
    if (!audioCodec.empty()) {
        o.audio = OpenEncoder(
            audioCodec, o.format,
            [](AVCodecContext* c, const AVCodec* codec, void*) {
                c->sample_rate = 44100;
                av_channel_layout_default(&c->ch_layout, 2);
                c->sample_fmt = codec->sample_fmts ? codec->sample_fmts[0] : AV_SAMPLE_FMT_FLTP;
                c->bit_rate = 128000;
                c->time_base = AVRational{1, 44100};
            },
            nullptr);
        if (!o.audio) {
            error = "cannot open encoder " + audioCodec;
            return false;
        }
        o.audioStream = avformat_new_stream(o.format, nullptr);
        avcodec_parameters_from_context(o.audioStream->codecpar, o.audio);
        o.audioStream->time_base = o.audio->time_base;
    }
    if (avio_open(&o.format->pb, path.c_str(), AVIO_FLAG_WRITE) < 0 ||
        avformat_write_header(o.format, nullptr) < 0) {
        error = "cannot write " + path;
        return false;
    }
    AVFrame* f = av_frame_alloc();
    int64_t frames = o.video ? int64_t(seconds * 25) : 0;
    int frameSize = o.audio ? (o.audio->frame_size > 0 ? o.audio->frame_size : 1024) : 0;
    int64_t samplesTotal = o.audio ? int64_t(seconds * 44100) : 0;
    int64_t v = 0, s = 0;
    bool ok = true;
    while (ok && (v < frames || s < samplesTotal)) {
        // Whichever is behind in time goes next.
        bool doVideo = v < frames && (s >= samplesTotal || v * 44100 <= s * 25);
        av_frame_unref(f);
        if (doVideo) {
            f->format = AV_PIX_FMT_YUV420P;
            f->width = width;
            f->height = height;
            av_frame_get_buffer(f, 0);
            for (int y = 0; y < height; ++y)
                for (int x = 0; x < width; ++x)
                    f->data[0][y * f->linesize[0] + x] = uint8_t((x + y + v * 4) & 0xFF);
            for (int y = 0; y < height / 2; ++y)
                for (int x = 0; x < width / 2; ++x) {
                    f->data[1][y * f->linesize[1] + x] = 128;
                    f->data[2][y * f->linesize[2] + x] = 128;
                }
            f->pts = v++;
            ok = avcodec_send_frame(o.video, f) >= 0 && o.Drain(o.video, o.videoStream);
        } else {
            f->format = o.audio->sample_fmt;
            f->sample_rate = 44100;
            f->nb_samples = int(std::min<int64_t>(frameSize, samplesTotal - s));
            av_channel_layout_copy(&f->ch_layout, &o.audio->ch_layout);
            av_frame_get_buffer(f, 0);
            for (int i = 0; i < f->nb_samples; ++i) {
                double x = 0.3 * std::sin(2 * M_PI * 440.0 * double(s + i) / 44100);
                for (int c = 0; c < 2; ++c) {
                    switch (o.audio->sample_fmt) {
                    case AV_SAMPLE_FMT_FLTP:
                        reinterpret_cast<float*>(f->data[c])[i] = float(x);
                        break;
                    case AV_SAMPLE_FMT_S16P:
                        reinterpret_cast<int16_t*>(f->data[c])[i] = int16_t(x * 32767);
                        break;
                    case AV_SAMPLE_FMT_S16:
                        reinterpret_cast<int16_t*>(f->data[0])[i * 2 + c] = int16_t(x * 32767);
                        break;
                    case AV_SAMPLE_FMT_S32:
                        reinterpret_cast<int32_t*>(f->data[0])[i * 2 + c] = int32_t(x * 2147483647);
                        break;
                    default:
                        break;
                    }
                }
            }
            f->pts = s;
            s += f->nb_samples;
            ok = avcodec_send_frame(o.audio, f) >= 0 && o.Drain(o.audio, o.audioStream);
        }
    }
    av_frame_free(&f);
    if (o.video)
        ok = ok && avcodec_send_frame(o.video, nullptr) >= 0 && o.Drain(o.video, o.videoStream);
    if (o.audio)
        ok = ok && avcodec_send_frame(o.audio, nullptr) >= 0 && o.Drain(o.audio, o.audioStream);
    ok = ok && av_write_trailer(o.format) >= 0;
    if (!ok)
        error = "encoding failed";
    return ok;
}

std::vector<std::vector<uint8_t>> ReturnAudio(int rate, int channels, double frequency, int packets,
                                              int framesPerPacket) {
    // Two frames more than needed: the last may be cut short.
    const double seconds = double(packets * framesPerPacket + 2) * 1024 / rate;
    auto out = media::MakeAacTone(rate, channels, frequency, {0.5}, seconds, framesPerPacket);
    out.resize(std::min(out.size(), size_t(packets)));
    return out;
}

Wav ReadWav(const std::string& path) {
    Wav w;
    std::ifstream in(path, std::ios::binary);
    std::vector<uint8_t> b((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    auto u32 = [&](size_t at) {
        return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 |
               uint32_t(b[at + 3]) << 24;
    };
    auto u16 = [&](size_t at) { return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8; };
    if (b.size() < 44) {
        w.problem = "shorter than a header";
        return w;
    }
    if (std::string(b.begin(), b.begin() + 4) != "RIFF" ||
        std::string(b.begin() + 8, b.begin() + 16) != "WAVEfmt " ||
        std::string(b.begin() + 36, b.begin() + 40) != "data") {
        w.problem = "not a canonical WAV header";
        return w;
    }
    if (u32(4) != b.size() - 8 || u32(40) != b.size() - 44) {
        w.problem = "RIFF sizes do not match the file";
        return w;
    }
    if (u16(20) != 1 || u16(34) != 16) {
        w.problem = "not 16-bit PCM";
        return w;
    }
    w.channels = int(u16(22));
    w.sampleRate = int(u32(24));
    if (u32(28) != uint32_t(w.sampleRate * w.channels * 2) || u16(32) != uint32_t(w.channels * 2)) {
        w.problem = "inconsistent byte rate or block alignment";
        return w;
    }
    w.samples.resize((b.size() - 44) / 2);
    for (size_t i = 0; i < w.samples.size(); ++i)
        w.samples[i] = int16_t(u16(44 + i * 2));
    w.ok = true;
    return w;
}

double ToneShare(const std::vector<int16_t>& samples, int channels, int rate, double frequency) {
    // Goertzel on the first channel.
    const double k = 2 * std::cos(2 * M_PI * frequency / rate);
    double s1 = 0, s2 = 0, total = 0;
    size_t n = 0;
    for (size_t i = 0; i < samples.size(); i += size_t(channels), ++n) {
        double x = samples[i];
        double s0 = x + k * s1 - s2;
        s2 = s1;
        s1 = s0;
        total += x * x;
    }
    if (n == 0 || total <= 0)
        return 0;
    double power = s1 * s1 + s2 * s2 - k * s1 * s2;
    // A pure tone of any phase gives power = n/2 * total.
    return power / (double(n) / 2 * total);
}

} // namespace fieldmedia
