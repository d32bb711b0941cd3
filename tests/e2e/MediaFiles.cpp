#include "MediaFiles.h"

#include "tools/media/CH264Encoder.h"
#include "tools/media/I420Picture.h"

#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
}

namespace mediafiles {

namespace {

constexpr int kWidth = 320;
constexpr int kHeight = 240;
constexpr int kFrameRate = 25;
constexpr int kSampleRate = 48000;
constexpr double kAmplitude = 0.3;

// One encoder feeding one stream of the file.
struct Track {
    AVCodecContext* context = nullptr;
    AVStream* stream = nullptr;
    AVFrame* frame = nullptr;
    int64_t next = 0; // pts of the next frame, in the context's time base

    ~Track() {
        av_frame_free(&frame);
        avcodec_free_context(&context);
    }
};

bool Drain(AVFormatContext* file, Track& track, const AVFrame* frame) {
    if (avcodec_send_frame(track.context, frame) < 0)
        return false;
    AVPacket* packet = av_packet_alloc();
    if (!packet)
        return false;
    bool ok = true;
    for (;;) {
        int result = avcodec_receive_packet(track.context, packet);
        if (result == AVERROR(EAGAIN) || result == AVERROR_EOF)
            break;
        if (result < 0) {
            ok = false;
            break;
        }
        av_packet_rescale_ts(packet, track.context->time_base, track.stream->time_base);
        packet->stream_index = track.stream->index;
        if (av_interleaved_write_frame(file, packet) < 0) {
            ok = false;
            break;
        }
    }
    av_packet_free(&packet);
    return ok;
}

bool OpenTrack(AVFormatContext* file, Track& track, AVCodecContext* context) {
    track.context = context;
    if (file->oformat->flags & AVFMT_GLOBALHEADER)
        context->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    if (avcodec_open2(context, context->codec, nullptr) < 0)
        return false;
    track.stream = avformat_new_stream(file, nullptr);
    if (!track.stream || avcodec_parameters_from_context(track.stream->codecpar, context) < 0)
        return false;
    track.stream->time_base = context->time_base;
    track.frame = av_frame_alloc();
    return track.frame != nullptr;
}

bool WriteClip(AVFormatContext* file, const std::string& path, int red, int green, int blue,
               double frequency, double seconds, std::string& error) {
    const AVCodec* h264 = avcodec_find_encoder_by_name("libx264");
    const AVCodec* aac = avcodec_find_encoder(AV_CODEC_ID_AAC);
    if (!h264 || !aac) {
        error = "no libx264 or AAC encoder";
        return false;
    }
    Track video, audio;
    AVCodecContext* v = avcodec_alloc_context3(h264);
    if (!v)
        return false;
    v->width = kWidth;
    v->height = kHeight;
    v->pix_fmt = AV_PIX_FMT_YUV420P;
    v->time_base = {1, kFrameRate};
    v->framerate = {kFrameRate, 1};
    v->gop_size = kFrameRate;
    av_opt_set(v->priv_data, "preset", "veryfast", 0);
    if (!OpenTrack(file, video, v)) {
        error = "cannot open the H.264 encoder";
        return false;
    }
    AVCodecContext* a = avcodec_alloc_context3(aac);
    if (!a)
        return false;
    a->sample_fmt = AV_SAMPLE_FMT_FLTP;
    a->sample_rate = kSampleRate;
    av_channel_layout_default(&a->ch_layout, 2);
    a->bit_rate = 128000;
    a->time_base = {1, kSampleRate};
    if (!OpenTrack(file, audio, a)) {
        error = "cannot open the AAC encoder";
        return false;
    }
    if (avio_open(&file->pb, path.c_str(), AVIO_FLAG_WRITE) < 0) {
        error = "cannot create " + path;
        return false;
    }
    if (avformat_write_header(file, nullptr) < 0) {
        error = "cannot write the header";
        return false;
    }

    const std::vector<uint8_t> picture =
        media::SolidPicture(kWidth, kHeight, media::YuvFromRgb(red, green, blue));
    const int64_t pictures = std::llround(seconds * kFrameRate);
    const int64_t samples = std::llround(seconds * kSampleRate);
    const int frameSize = a->frame_size > 0 ? a->frame_size : 1024;
    bool ok = true;
    while (ok && (video.next < pictures || audio.next < samples)) {
        // Whichever stream is behind in time goes next, so the file is interleaved.
        bool videoNext =
            audio.next >= samples ||
            (video.next < pictures && video.next * kSampleRate <= audio.next * kFrameRate);
        if (videoNext) {
            AVFrame* f = video.frame;
            f->format = AV_PIX_FMT_YUV420P;
            f->width = kWidth;
            f->height = kHeight;
            if (!f->data[0] && av_frame_get_buffer(f, 0) < 0)
                return false;
            if (av_frame_make_writable(f) < 0)
                return false;
            const uint8_t* plane = picture.data();
            for (int p = 0; p < 3; ++p) {
                int w = p ? kWidth / 2 : kWidth, h = p ? kHeight / 2 : kHeight;
                for (int row = 0; row < h; ++row)
                    std::memcpy(f->data[p] + row * f->linesize[p], plane + row * w, size_t(w));
                plane += size_t(w) * h;
            }
            f->pts = video.next++;
            ok = Drain(file, video, f);
        } else {
            AVFrame* f = audio.frame;
            av_frame_unref(f);
            f->format = AV_SAMPLE_FMT_FLTP;
            f->sample_rate = kSampleRate;
            f->nb_samples = int(std::min<int64_t>(frameSize, samples - audio.next));
            av_channel_layout_default(&f->ch_layout, 2);
            if (av_frame_get_buffer(f, 0) < 0)
                return false;
            for (int i = 0; i < f->nb_samples; ++i) {
                double t = double((audio.next + i) % kSampleRate) / kSampleRate;
                float value = float(kAmplitude * std::sin(2 * M_PI * frequency * t));
                for (int c = 0; c < 2; ++c)
                    reinterpret_cast<float*>(f->data[c])[i] = value;
            }
            f->pts = audio.next;
            audio.next += f->nb_samples;
            ok = Drain(file, audio, f);
        }
    }
    ok = ok && Drain(file, video, nullptr) && Drain(file, audio, nullptr);
    if (!ok) {
        error = "encoding failed";
        return false;
    }
    if (av_write_trailer(file) < 0) {
        error = "cannot finish the file";
        return false;
    }
    return true;
}

} // namespace

bool MakeColourClip(const std::string& path, int red, int green, int blue, double frequency,
                    double seconds, std::string& error) {
    AVFormatContext* file = nullptr;
    if (avformat_alloc_output_context2(&file, nullptr, "mp4", path.c_str()) < 0 || !file) {
        error = "no MP4 muxer";
        return false;
    }
    bool ok = WriteClip(file, path, red, green, blue, frequency, seconds, error);
    if (file->pb)
        avio_closep(&file->pb);
    avformat_free_context(file);
    return ok;
}

bool WriteRawTone(const std::string& path, int sampleRate, double frequency, double amplitude,
                  double seconds) {
    std::ofstream out(path, std::ios::binary);
    const int64_t frames = std::llround(seconds * sampleRate);
    std::vector<int16_t> samples;
    samples.reserve(size_t(frames) * 2);
    for (int64_t i = 0; i < frames; ++i) {
        double t = double(i % sampleRate) / sampleRate;
        auto v = int16_t(std::lround(32767.0 * amplitude * std::sin(2 * M_PI * frequency * t)));
        samples.push_back(v);
        samples.push_back(v);
    }
    // The test machines are little-endian, as the raw format says.
    out.write(reinterpret_cast<const char*>(samples.data()),
              std::streamsize(samples.size() * sizeof(int16_t)));
    return bool(out);
}

bool ReadWav(const std::string& path, Wav& wav, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                               std::istreambuf_iterator<char>());
    auto u16 = [&](size_t at) { return uint32_t(bytes[at] | bytes[at + 1] << 8); };
    auto u32 = [&](size_t at) { return u16(at) | u16(at + 2) << 16; };
    if (bytes.size() < 12 || std::memcmp(bytes.data(), "RIFF", 4) != 0 ||
        std::memcmp(bytes.data() + 8, "WAVE", 4) != 0) {
        error = path + " is not a WAV file (" + std::to_string(bytes.size()) + " bytes)";
        return false;
    }
    bool haveFormat = false;
    for (size_t at = 12; at + 8 <= bytes.size();) {
        uint32_t size = u32(at + 4);
        size_t body = at + 8;
        if (size > bytes.size() - body) {
            error = "a chunk of " + path + " runs past its end";
            return false;
        }
        if (std::memcmp(bytes.data() + at, "fmt ", 4) == 0 && size >= 16) {
            if (u16(body) != 1 || u16(body + 14) != 16) {
                error = path + " is not 16-bit PCM";
                return false;
            }
            wav.channels = int(u16(body + 2));
            wav.sampleRate = int(u32(body + 4));
            haveFormat = wav.channels > 0;
        } else if (std::memcmp(bytes.data() + at, "data", 4) == 0) {
            if (!haveFormat) {
                error = path + " has its data before its format";
                return false;
            }
            wav.samples.resize(size / 2);
            std::memcpy(wav.samples.data(), bytes.data() + body, wav.samples.size() * 2);
            return true;
        }
        at = body + size + (size & 1);
    }
    error = path + " has no data";
    return false;
}

} // namespace mediafiles
