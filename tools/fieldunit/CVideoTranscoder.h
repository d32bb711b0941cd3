// Video that is not H.264: decoded, converted to YUV 4:2:0 and encoded again
// with the live settings of media::CH264Encoder.
#pragma once

#include "tools/media/CH264Encoder.h"
#include "tools/media/CMediaPacket.h"

#include <cstdint>
#include <string>
#include <vector>

struct AVCodecContext;
struct AVCodecParameters;
struct AVFrame;
struct AVPacket;
struct SwsContext;

class CVideoTranscoder {
public:
    CVideoTranscoder() = default;
    virtual ~CVideoTranscoder();
    CVideoTranscoder(const CVideoTranscoder&) = delete;
    CVideoTranscoder& operator=(const CVideoTranscoder&) = delete;

    // False with a text in error when the codec cannot be decoded.
    bool Open(const AVCodecParameters* parameters, int fps, int64_t bitrate, int slices,
              std::string& error);
    void Close();

    // Decodes packet (null: end of this pass) and encodes what comes out.
    // toUs turns a timestamp of the stream into stream time in microseconds.
    template <typename ToUs>
    bool Push(const AVPacket* packet, ToUs toUs, std::vector<media::CMediaPacket>& out) {
        if (!Send(packet))
            return false;
        AVFrame* f;
        while ((f = NextFrame()) != nullptr)
            if (!Encode(f, toUs(FrameTime(f)), out))
                return false;
        return !failed;
    }
    // Makes the decoder ready for the next pass of a looped file.
    void Restart();
    // Drains the encoder at the very end.
    bool Finish(std::vector<media::CMediaPacket>& out);

private:
    bool Send(const AVPacket* packet);
    AVFrame* NextFrame();
    static int64_t FrameTime(const AVFrame* f);
    bool Encode(AVFrame* decoded, int64_t timeUs, std::vector<media::CMediaPacket>& out);

    AVCodecContext* decoder = nullptr;
    AVFrame* decoded = nullptr;
    AVFrame* converted = nullptr;
    SwsContext* sws = nullptr;
    media::CH264Encoder encoder;
    bool encoderOpen = false;
    media::CH264Encoder::Settings settings;
    int64_t lastUs = -1;
    bool failed = false;
};
