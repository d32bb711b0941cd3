#include "CAudioDecoder.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

// Frames one packet may give before the rest is thrown away: a packet that
// keeps the decoder busy for longer is not a packet of live audio.
constexpr int kMaxFramesPerPacket = 4096;

int16_t FromFloat(float v) {
    if (std::isnan(v))
        return 0;
    long s = std::lrintf(std::clamp(v, -1.0f, 1.0f) * 32768.0f);
    return static_cast<int16_t>(std::clamp(s, -32768L, 32767L));
}

// One sample of channel c at position i, whatever the decoder's layout.
int16_t SampleAt(const AVFrame* f, int format, int channelCount, int c, int i) {
    switch (format) {
    case AV_SAMPLE_FMT_FLTP:
        return FromFloat(reinterpret_cast<const float*>(f->extended_data[c])[i]);
    case AV_SAMPLE_FMT_FLT:
        return FromFloat(reinterpret_cast<const float*>(f->data[0])[i * channelCount + c]);
    case AV_SAMPLE_FMT_S16P:
        return reinterpret_cast<const int16_t*>(f->extended_data[c])[i];
    case AV_SAMPLE_FMT_S16:
        return reinterpret_cast<const int16_t*>(f->data[0])[i * channelCount + c];
    default:
        return 0;
    }
}

} // namespace

int32_t CAudioDecoder::Open(SessionContext* session) {
    Close();
    if (!session ||
        !NewContext(Direction::kDecode, session->playbackFormat, session->audioBitRate))
        return 0;
    const WAVEFORMATEX& format = *session->playbackFormat;
    context->request_sample_fmt = AV_SAMPLE_FMT_S16;
    if (avcodec_open2(context, codec, nullptr) < 0)
        return 0;

    frame = av_frame_alloc();
    packet = av_packet_alloc();
    if (!frame || !packet)
        return 0;
    sampleRate = static_cast<int32_t>(format.nSamplesPerSec);
    channels = format.nChannels;
    return 1;
}

int32_t CAudioDecoder::Decode(uint8_t* out, int32_t* pcmBytes, const uint8_t* data,
                              int32_t length) {
    if (!pcmBytes)
        return AVERROR(EINVAL);
    const int32_t room = std::max(*pcmBytes, 0);
    *pcmBytes = 0;
    if (!frame || !packet || !out || !data || length < 0)
        return AVERROR(EINVAL);
    // An empty packet would tell the decoder that the stream has ended.
    if (length == 0)
        return 0;

    // Not reference-counted: the library copies the bytes, with the padding
    // its bit reader needs, before it returns.
    packet->data = const_cast<uint8_t*>(data);
    packet->size = length;
    int result = avcodec_send_packet(context, packet);
    if (result == AVERROR(EAGAIN) || result == AVERROR_EOF) {
        // Left over from a packet given up on earlier: start afresh.
        avcodec_flush_buffers(context);
        result = avcodec_send_packet(context, packet);
    }
    packet->data = nullptr;
    packet->size = 0;
    if (result < 0)
        return result;

    // Every frame of the packet is taken out, also when the PCM is thrown
    // away, so that the next packet starts clean.
    int32_t written = 0;
    int32_t failure = 0;
    for (int frames = 0;; ++frames) {
        if (frames == kMaxFramesPerPacket) {
            avcodec_flush_buffers(context);
            failure = AVERROR_INVALIDDATA;
            break;
        }
        result = avcodec_receive_frame(context, frame);
        if (result == AVERROR(EAGAIN) || result == AVERROR_EOF)
            break;
        if (result < 0) {
            // A broken frame: the library drops the rest of its packet.
            failure = result;
            continue;
        }
        int32_t n = failure ? 0 : Convert(frame, out + written, room - written);
        av_frame_unref(frame);
        if (n < 0) {
            // The packet is dropped whole: the rest of it need not be decoded.
            avcodec_flush_buffers(context);
            failure = AVERROR(ENOSPC);
            break;
        }
        written += n;
    }
    if (failure)
        return failure;
    *pcmBytes = written;
    return length;
}

int32_t CAudioDecoder::Convert(const AVFrame* decoded, uint8_t* out, int32_t room) const {
    const int format = decoded->format;
    const int inChannels = decoded->ch_layout.nb_channels;
    const int count = decoded->nb_samples;
    if (count <= 0)
        return 0;
    // No resampling here: audio of another rate would play at the wrong pitch.
    if (decoded->sample_rate != sampleRate) {
        refusedRate = decoded->sample_rate;
        return -1;
    }
    if (inChannels <= 0 || inChannels > kMaxChannels)
        return -1;
    if (format != AV_SAMPLE_FMT_FLTP && format != AV_SAMPLE_FMT_FLT &&
        format != AV_SAMPLE_FMT_S16P && format != AV_SAMPLE_FMT_S16)
        return -1;
    const int64_t bytes = static_cast<int64_t>(count) * channels * 2;
    if (bytes > room)
        return -1;

    auto* pcm = reinterpret_cast<int16_t*>(out);
    for (int i = 0; i < count; ++i) {
        for (int c = 0; c < channels; ++c) {
            int16_t s;
            if (channels == 1 && inChannels > 1) {
                // Mono from the front pair.
                s = static_cast<int16_t>((SampleAt(decoded, format, inChannels, 0, i) +
                                          SampleAt(decoded, format, inChannels, 1, i)) /
                                         2);
            } else {
                // Extra channels are left out; a missing one repeats the last.
                s = SampleAt(decoded, format, inChannels, std::min(c, inChannels - 1), i);
            }
            *pcm++ = s;
        }
    }
    return static_cast<int32_t>(bytes);
}

void CAudioDecoder::Close() {
    FreeContext();
    sampleRate = 0;
    refusedRate = 0;
    channels = 0;
}
