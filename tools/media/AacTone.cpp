#include "tools/media/AacTone.h"

#include "tools/media/CAacEncoder.h"

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/frame.h>
#include <libavutil/log.h>
}

#include <algorithm>
#include <cmath>
#include <numbers>
#include <string>

namespace media {

namespace {

// Frames the encoder's frames again with libavformat's own ADTS muxer, the
// reference the field unit's header writer is checked against.
bool Reframe(const CAacEncoder& encoder, std::vector<CMediaPacket>& frames) {
    AVFormatContext* mux = nullptr;
    AVPacket* packet = av_packet_alloc();
    bool ok = packet && avformat_alloc_output_context2(&mux, nullptr, "adts", nullptr) >= 0;
    AVStream* stream = ok ? avformat_new_stream(mux, nullptr) : nullptr;
    ok = stream && encoder.CopyParameters(stream->codecpar);
    for (size_t i = 0; ok && i < frames.size(); ++i) {
        Bytes& data = frames[i].data;
        ok = data.size() > CAdtsHeader::kSize && avio_open_dyn_buf(&mux->pb) >= 0 &&
             (i > 0 || avformat_write_header(mux, nullptr) >= 0);
        if (ok) {
            packet->data = data.data() + CAdtsHeader::kSize;
            packet->size = int(data.size() - CAdtsHeader::kSize);
            ok = av_write_frame(mux, packet) >= 0;
        }
        if (mux->pb) {
            uint8_t* buffer = nullptr;
            int size = avio_close_dyn_buf(mux->pb, &buffer);
            mux->pb = nullptr;
            if (ok && size > 0)
                data.assign(buffer, buffer + size);
            av_free(buffer);
        }
    }
    avformat_free_context(mux);
    av_packet_free(&packet);
    return ok;
}

} // namespace

std::vector<Bytes> MakeAacTone(int sampleRate, int channels, double frequency,
                               const std::vector<double>& amplitude, double seconds,
                               int framesPerPacket) {
    av_log_set_level(AV_LOG_QUIET);
    CAacEncoder encoder;
    std::string error;
    if (amplitude.empty() || framesPerPacket < 1 || channels < 1 ||
        !encoder.Open(sampleRate, channels, error, 96000 * channels))
        return {};
    // Whole AAC frames, the last one filled with the tone too.
    const int frameSize = encoder.FrameSize();
    const auto total = static_cast<size_t>(seconds * sampleRate);
    AVFrame* frame = av_frame_alloc();
    if (!frame)
        return {};
    frame->nb_samples = int((total + frameSize - 1) / frameSize * frameSize);
    frame->format = AV_SAMPLE_FMT_FLTP;
    frame->sample_rate = sampleRate;
    av_channel_layout_default(&frame->ch_layout, channels);
    std::vector<CMediaPacket> frames;
    bool ok = av_frame_get_buffer(frame, 0) >= 0;
    for (int c = 0; ok && c < channels; ++c) {
        double a = amplitude[std::min<size_t>(size_t(c), amplitude.size() - 1)];
        auto* plane = reinterpret_cast<float*>(frame->extended_data[c]);
        for (int i = 0; i < frame->nb_samples; ++i)
            plane[i] =
                static_cast<float>(a * std::sin(2 * std::numbers::pi * frequency * i / sampleRate));
    }
    ok = ok && encoder.Push(frame, 0, frames) && encoder.Push(nullptr, 0, frames) &&
         Reframe(encoder, frames);
    av_frame_free(&frame);
    if (!ok)
        return {};
    std::vector<Bytes> packets;
    for (size_t i = 0; i < frames.size(); ++i) {
        if (i % size_t(framesPerPacket) == 0)
            packets.emplace_back();
        packets.back().insert(packets.back().end(), frames[i].data.begin(), frames[i].data.end());
    }
    return packets;
}

std::vector<int16_t> MakePcmTone(int sampleRate, int channels, double frequency, double amplitude,
                                 size_t frames) {
    std::vector<int16_t> pcm(frames * channels);
    for (size_t i = 0; i < frames; ++i) {
        auto v = static_cast<float>(
            amplitude * std::sin(2 * std::numbers::pi * frequency * double(i) / sampleRate));
        long s = std::lrintf(std::clamp(v, -1.0f, 1.0f) * 32767.0f);
        for (int c = 0; c < channels; ++c)
            pcm[i * channels + c] = static_cast<int16_t>(std::clamp(s, -32768L, 32767L));
    }
    return pcm;
}

} // namespace media
