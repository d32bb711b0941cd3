// libx264 through libavcodec, set up for a live link: no B-frames, several
// slices, a key frame every two seconds and the parameter sets in front of
// every key frame, so that a studio can join the stream at any key frame.
#pragma once

#include "CMediaPacket.h"

#include <cstdint>
#include <string>
#include <vector>

struct AVCodecContext;
struct AVFrame;
struct AVPacket;

class CH264Encoder {
public:
    struct Settings {
        int width = 0;
        int height = 0;
        int fps = 30;
        int64_t bitrate = 0;
        int slices = 4;
    };

    CH264Encoder() = default;
    virtual ~CH264Encoder();
    CH264Encoder(const CH264Encoder&) = delete;
    CH264Encoder& operator=(const CH264Encoder&) = delete;

    // False with a text in error when libx264 is missing or refuses.
    bool Open(const Settings& settings, std::string& error);
    void Close();

    // Encodes one YUV 4:2:0 picture whose pts is in microseconds (strictly
    // increasing); null drains the encoder. Finished access units are
    // appended to out. False on an encoder error.
    bool Encode(AVFrame* frame, std::vector<CMediaPacket>& out);

private:
    AVCodecContext* context = nullptr;
    AVPacket* packet = nullptr;
    Settings settings;
};
