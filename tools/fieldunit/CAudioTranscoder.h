// Audio that is not AAC (or AAC that ADTS cannot carry): decoded and encoded
// again as AAC LC.
#pragma once

#include "tools/media/CAacEncoder.h"
#include "tools/media/CMediaPacket.h"

#include <cstdint>
#include <string>
#include <vector>

struct AVCodecContext;
struct AVCodecParameters;
struct AVFrame;
struct AVPacket;

class CAudioTranscoder {
public:
    CAudioTranscoder() = default;
    virtual ~CAudioTranscoder();
    CAudioTranscoder(const CAudioTranscoder&) = delete;
    CAudioTranscoder& operator=(const CAudioTranscoder&) = delete;

    bool Open(const AVCodecParameters* parameters, std::string& error);
    void Close();

    // Decodes packet (null: end of this pass) and encodes what comes out;
    // firstUs is the stream time of the first packet ever pushed.
    bool Push(const AVPacket* packet, int64_t firstUs, std::vector<media::CMediaPacket>& out);
    // Makes the decoder ready for the next pass of a looped file.
    void Restart();
    // Drains the encoder at the very end.
    bool Finish(std::vector<media::CMediaPacket>& out);

private:
    AVCodecContext* decoder = nullptr;
    AVFrame* decoded = nullptr;
    media::CAacEncoder encoder;
};
