// Decodes ADTS frames to interleaved signed 16-bit PCM at one rate and
// channel count, whatever the frames themselves say.
#pragma once

#include "tools/media/CCodec.h"

#include <cstddef>
#include <cstdint>
#include <vector>

struct SwrContext;

namespace media {

class CAacDecoder : private CCodec {
public:
    CAacDecoder() = default;
    virtual ~CAacDecoder();
    CAacDecoder(const CAacDecoder&) = delete;
    CAacDecoder& operator=(const CAacDecoder&) = delete;

    // The output's rate and channel count; 0 takes them from the first frame.
    bool Open(int sampleRate = 0, int channels = 0);
    void Close();

    // Decodes one ADTS frame and appends its samples to pcm. False when the
    // frame does not decode; the stream can carry on with the next one.
    bool Decode(const uint8_t* frame, size_t size, std::vector<int16_t>& pcm);
    // Decodes ADTS frames laid back to back as the library's parser finds
    // them, so that a stream is checked by nothing but itself. False when
    // any frame fails or nothing decodes.
    bool DecodeStream(const std::vector<uint8_t>& stream, std::vector<int16_t>& pcm);

    // The output format (0 until the first frame when Open was given 0).
    int SampleRate() const { return rate; }
    int Channels() const { return channels; }
    // What the last frame decoded carried itself.
    int StreamSampleRate() const { return swrRate; }
    int StreamChannels() const { return swrChannels; }

private:
    SwrContext* swr = nullptr;
    int swrFormat = -1;
    int swrRate = 0;
    int swrChannels = 0;
    int rate = 0;
    int channels = 0;
};

} // namespace media
