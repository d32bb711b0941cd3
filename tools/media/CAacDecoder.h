// Decodes single ADTS frames of the return audio to interleaved signed 16-bit
// PCM at the rate and channel count of the stream.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

struct AVCodecContext;
struct AVFrame;
struct AVPacket;
struct SwrContext;

class CAacDecoder {
public:
    CAacDecoder() = default;
    virtual ~CAacDecoder();
    CAacDecoder(const CAacDecoder&) = delete;
    CAacDecoder& operator=(const CAacDecoder&) = delete;

    bool Open(int sampleRate, int channels);
    void Close();

    // Decodes one ADTS frame and appends its samples to pcm. False when the
    // frame does not decode; the stream can carry on with the next one.
    bool Decode(const uint8_t* frame, size_t size, std::vector<int16_t>& pcm);

private:
    AVCodecContext* context = nullptr;
    AVPacket* packet = nullptr;
    AVFrame* frame = nullptr;
    SwrContext* swr = nullptr;
    int swrFormat = -1;
    int swrRate = 0;
    int swrChannels = 0;
    int rate = 0;
    int channels = 0;
};
