// libavcodec's own AAC encoder behind a resampler and a sample queue: takes
// decoded audio in any sample format, rate and layout, gives ADTS frames at
// the output rate and channel count.
#pragma once

#include "codec/CAdtsHeader.h"
#include "tools/media/CCodec.h"
#include "tools/media/CMediaPacket.h"

#include <cstdint>
#include <string>
#include <vector>

struct AVAudioFifo;
struct AVCodecParameters;
struct SwrContext;

namespace media {

class CAacEncoder : private CCodec {
public:
    CAacEncoder() = default;
    virtual ~CAacEncoder();
    CAacEncoder(const CAacEncoder&) = delete;
    CAacEncoder& operator=(const CAacEncoder&) = delete;

    // A bit rate of 0: 64 kbit/s a channel.
    bool Open(int sampleRate, int channels, std::string& error, int64_t bitRate = 0);
    void Close();

    // Queues the samples of frame (any format; frame->pts is ignored) and
    // encodes every whole AAC frame; startUs is the stream time of the first
    // sample ever pushed. Null drains the queue and the encoder.
    bool Push(const AVFrame* frame, int64_t startUs, std::vector<CMediaPacket>& out);

    int SampleRate() const { return rate; }
    int Channels() const { return channels; }
    // Samples per channel in one AAC frame.
    int FrameSize() const;
    // The encoder's parameters, as a muxer takes them.
    bool CopyParameters(AVCodecParameters* parameters) const;

private:
    bool Resample(const AVFrame* frame);
    bool EncodeQueued(bool drain, std::vector<CMediaPacket>& out);
    bool Receive(std::vector<CMediaPacket>& out);

    AVAudioFifo* fifo = nullptr;
    SwrContext* swr = nullptr;
    // The input format the resampler is set up for.
    int inFormat = -1;
    int inRate = 0;
    uint64_t inLayout = 0;
    int inChannels = 0;

    CAdtsHeader adts;
    int rate = 0;
    int channels = 0;
    int64_t samplesEncoded = 0;
    int64_t startUs = -1;
    bool drained = false;
};

} // namespace media
