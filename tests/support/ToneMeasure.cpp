#include "AacMaker.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
}

#include <algorithm>
#include <cmath>
#include <cstring>

namespace testing_support {

namespace {

constexpr double kPi = 3.14159265358979323846;

int16_t ToS16(float v) {
    long s = std::lrintf(std::clamp(v, -1.0f, 1.0f) * 32767.0f);
    return static_cast<int16_t>(std::clamp(s, -32768L, 32767L));
}

// Encodes planar float frames of the tone to ADTS through libavformat's muxer.
bool EncodeToAdts(int sampleRate, int channels, double frequency,
                  const std::vector<double>& amplitude, size_t totalFrames, Bytes& adts) {
    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_AAC);
    if (!codec)
        return false;
    AVCodecContext* ctx = avcodec_alloc_context3(codec);
    ctx->sample_rate = sampleRate;
    av_channel_layout_default(&ctx->ch_layout, channels);
    ctx->sample_fmt = AV_SAMPLE_FMT_FLTP;
    ctx->bit_rate = 96000 * channels;
    ctx->time_base = AVRational{1, sampleRate};
    bool ok = avcodec_open2(ctx, codec, nullptr) >= 0;

    AVFormatContext* mux = nullptr;
    AVStream* stream = nullptr;
    if (ok)
        ok = avformat_alloc_output_context2(&mux, nullptr, "adts", nullptr) >= 0;
    if (ok) {
        stream = avformat_new_stream(mux, nullptr);
        ok = stream && avcodec_parameters_from_context(stream->codecpar, ctx) >= 0;
    }
    if (ok) {
        stream->time_base = ctx->time_base;
        ok = avio_open_dyn_buf(&mux->pb) >= 0 && avformat_write_header(mux, nullptr) >= 0;
    }

    AVFrame* frame = av_frame_alloc();
    AVPacket* packet = av_packet_alloc();
    auto drain = [&] {
        while (ok && avcodec_receive_packet(ctx, packet) == 0) {
            packet->stream_index = 0;
            av_packet_rescale_ts(packet, ctx->time_base, stream->time_base);
            ok = av_write_frame(mux, packet) >= 0;
            av_packet_unref(packet);
        }
    };
    for (size_t pos = 0; ok && pos < totalFrames; pos += ctx->frame_size) {
        frame->nb_samples = ctx->frame_size;
        frame->format = ctx->sample_fmt;
        frame->sample_rate = sampleRate;
        av_channel_layout_default(&frame->ch_layout, channels);
        ok = av_frame_get_buffer(frame, 0) >= 0;
        for (int c = 0; ok && c < channels; ++c) {
            double a = amplitude[std::min<size_t>(c, amplitude.size() - 1)];
            auto* plane = reinterpret_cast<float*>(frame->extended_data[c]);
            for (int i = 0; i < ctx->frame_size; ++i)
                plane[i] = static_cast<float>(
                    a * std::sin(2 * kPi * frequency * static_cast<double>(pos + i) / sampleRate));
        }
        frame->pts = static_cast<int64_t>(pos);
        if (ok)
            ok = avcodec_send_frame(ctx, frame) >= 0;
        av_frame_unref(frame);
        drain();
    }
    if (ok)
        ok = avcodec_send_frame(ctx, nullptr) >= 0;
    drain();
    if (ok)
        ok = av_write_trailer(mux) >= 0;

    if (mux && mux->pb) {
        uint8_t* buffer = nullptr;
        int size = avio_close_dyn_buf(mux->pb, &buffer);
        mux->pb = nullptr;
        if (ok && size > 0)
            adts.assign(buffer, buffer + size);
        av_free(buffer);
    }
    avformat_free_context(mux);
    av_packet_free(&packet);
    av_frame_free(&frame);
    avcodec_free_context(&ctx);
    return ok && !adts.empty();
}

} // namespace

std::vector<Bytes> MakeAacTone(int sampleRate, int channels, double frequency,
                               const std::vector<double>& amplitude, double seconds,
                               int framesPerPacket) {
    av_log_set_level(AV_LOG_QUIET);
    Bytes adts;
    if (amplitude.empty() || framesPerPacket < 1 ||
        !EncodeToAdts(sampleRate, channels, frequency, amplitude,
                      static_cast<size_t>(seconds * sampleRate), adts))
        return {};
    std::vector<size_t> lengths = AdtsFrameLengths(adts.data(), adts.size());
    std::vector<Bytes> packets;
    size_t pos = 0;
    for (size_t i = 0; i < lengths.size(); ++i) {
        if (i % framesPerPacket == 0)
            packets.emplace_back();
        packets.back().insert(packets.back().end(), adts.begin() + pos,
                              adts.begin() + pos + lengths[i]);
        pos += lengths[i];
    }
    return packets;
}

std::vector<int16_t> MakePcmTone(int sampleRate, int channels, double frequency, double amplitude,
                                 size_t frames) {
    std::vector<int16_t> pcm(frames * channels);
    for (size_t i = 0; i < frames; ++i) {
        auto v = static_cast<float>(amplitude * std::sin(2 * kPi * frequency * i / sampleRate));
        for (int c = 0; c < channels; ++c)
            pcm[i * channels + c] = ToS16(v);
    }
    return pcm;
}

std::vector<size_t> AdtsFrameLengths(const uint8_t* data, size_t length) {
    std::vector<size_t> lengths;
    size_t pos = 0;
    while (pos < length) {
        if (length - pos < 7 || data[pos] != 0xFF || (data[pos + 1] & 0xF6) != 0xF0)
            return {};
        size_t frame =
            ((data[pos + 3] & 0x03u) << 11) | (data[pos + 4] << 3) | (data[pos + 5] >> 5);
        if (frame < 7 || frame > length - pos)
            return {};
        lengths.push_back(frame);
        pos += frame;
    }
    return lengths;
}

bool DecodeAdtsStream(const Bytes& stream, DecodedAudio& out) {
    av_log_set_level(AV_LOG_QUIET);
    out = DecodedAudio{};
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_AAC);
    AVCodecParserContext* parser = av_parser_init(AV_CODEC_ID_AAC);
    AVCodecContext* ctx = codec ? avcodec_alloc_context3(codec) : nullptr;
    bool ok = parser && ctx && avcodec_open2(ctx, codec, nullptr) >= 0;
    AVPacket* packet = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();

    auto receive = [&] {
        while (ok && avcodec_receive_frame(ctx, frame) == 0) {
            if (frame->format != AV_SAMPLE_FMT_FLTP)
                ok = false;
            out.sampleRate = frame->sample_rate;
            out.channels = frame->ch_layout.nb_channels;
            for (int i = 0; ok && i < frame->nb_samples; ++i)
                for (int c = 0; c < out.channels; ++c)
                    out.samples.push_back(
                        ToS16(reinterpret_cast<const float*>(frame->extended_data[c])[i]));
            av_frame_unref(frame);
        }
    };
    // The parser reads past its input; give it a padded copy.
    Bytes padded(stream);
    padded.resize(stream.size() + AV_INPUT_BUFFER_PADDING_SIZE, 0);
    const uint8_t* data = padded.data();
    int left = static_cast<int>(stream.size());
    while (ok && left >= 0) {
        uint8_t* frameData = nullptr;
        int frameSize = 0;
        int used = av_parser_parse2(parser, ctx, &frameData, &frameSize, data, left, AV_NOPTS_VALUE,
                                    AV_NOPTS_VALUE, 0);
        if (used < 0)
            ok = false;
        data += used;
        left -= used;
        if (frameSize > 0) {
            packet->data = frameData;
            packet->size = frameSize;
            ok = ok && avcodec_send_packet(ctx, packet) >= 0;
            receive();
        }
        if (left == 0) {
            if (frameSize == 0)
                break; // the parser has given its last frame
        }
    }
    if (ok) {
        avcodec_send_packet(ctx, nullptr);
        receive();
    }
    av_frame_free(&frame);
    av_packet_free(&packet);
    avcodec_free_context(&ctx);
    if (parser)
        av_parser_close(parser);
    return ok && !out.samples.empty();
}

Tone MeasureTone(const std::vector<int16_t>& samples, int channels, int channel, int sampleRate,
                 size_t firstFrame, size_t endFrame) {
    Tone tone;
    endFrame = std::min(endFrame, samples.size() / channels);
    if (firstFrame + 2 >= endFrame)
        return tone;
    double sum = 0.0;
    double firstCrossing = -1.0, lastCrossing = -1.0;
    size_t crossings = 0;
    double previous = samples[firstFrame * channels + channel];
    for (size_t i = firstFrame; i < endFrame; ++i) {
        double v = samples[i * channels + channel];
        sum += v * v;
        if (i > firstFrame && previous < 0.0 && v >= 0.0) {
            // Rising crossing, placed between the two samples.
            double at = static_cast<double>(i - 1) + (-previous) / (v - previous);
            if (firstCrossing < 0)
                firstCrossing = at;
            lastCrossing = at;
            ++crossings;
        }
        previous = v;
    }
    tone.rms = std::sqrt(sum / static_cast<double>(endFrame - firstFrame)) / 32768.0;
    if (crossings >= 2)
        tone.frequency =
            static_cast<double>(crossings - 1) * sampleRate / (lastCrossing - firstCrossing);
    return tone;
}

SoundRun LongestSound(const std::vector<int16_t>& samples, int channels, int channel,
                      int sampleRate, double threshold) {
    const size_t block = static_cast<size_t>(sampleRate / 100);
    const size_t frames = samples.size() / channels;
    SoundRun best, current;
    bool inRun = false;
    for (size_t b = 0; b + block <= frames; b += block) {
        bool loud =
            MeasureTone(samples, channels, channel, sampleRate, b, b + block).rms > threshold;
        if (loud) {
            if (!inRun)
                current.first = b;
            current.end = b + block;
            inRun = true;
            if (current.Frames() > best.Frames())
                best = current;
        } else {
            inRun = false;
        }
    }
    return best;
}

} // namespace testing_support
