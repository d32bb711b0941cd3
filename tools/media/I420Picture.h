// Real H.264 for tests and benchmarks, made with libx264 as a field unit makes
// it: zero latency, several slices, Annex B with the parameter sets in band
// before every key frame, no B-frames. Pictures are packed I420.
#pragma once

extern "C" {
#include <libavutil/pixfmt.h>
}

#include <cstdint>
#include <string>
#include <vector>

struct AVCodecContext;
struct AVFrame;
struct AVPacket;

namespace testing_support {

struct Yuv {
    uint8_t y, u, v;
};

// BT.601, limited range.
Yuv YuvFromRgb(int r, int g, int b);

// Packed I420 sizes: Y, then U and V of (width / 2) x (height / 2) each.
size_t I420Size(int width, int height);

// One colour all over.
std::vector<uint8_t> SolidPicture(int width, int height, Yuv colour);

// Four quadrants, red top left, green top right, blue bottom left, white
// bottom right, with a yellow box that moves along the middle band: its left
// edge is at PatternBoxLeft(width, index), its top at the middle less half
// its side. The top and bottom quarters of the picture are never covered.
std::vector<uint8_t> PatternPicture(int width, int height, int index);
int PatternBoxLeft(int width, int index);
int PatternBoxSide(int width, int height);

struct H264Packet {
    std::vector<uint8_t> data;
    bool key = false;
};

class H264Maker {
public:
    struct Settings {
        int width = 320;
        int height = 240;
        int slices = 4;
        // Pictures from one key frame to the next, unless one is forced.
        int keyInterval = 250;
        int frameRate = 30;
        // Monochrome (4:0:0) streams may have odd sizes; only Y is coded.
        bool monochrome = false;
        std::string preset = "veryfast";
        // Bits per second with a one-second buffer; 0 leaves the rate to the
        // quality setting.
        int64_t bitRate = 0;
        // Encoder threads (they split each picture, so no latency is added).
        int threads = 1;
        // The colour the stream signals; unspecified signals nothing.
        AVColorSpace colourSpace = AVCOL_SPC_UNSPECIFIED;
        AVColorRange colourRange = AVCOL_RANGE_UNSPECIFIED;
    };

    explicit H264Maker(const Settings& settings);
    H264Maker(int width, int height);
    virtual ~H264Maker();
    H264Maker(const H264Maker&) = delete;
    H264Maker& operator=(const H264Maker&) = delete;

    bool Ok() const { return context != nullptr; }
    // Encodes one packed I420 picture of the maker's size. With zero latency
    // every picture gives exactly one packet at once; an empty packet means
    // the encoder failed.
    H264Packet Encode(const std::vector<uint8_t>& i420, bool forceKey = false);

    // A whole clip of the moving pattern.
    std::vector<H264Packet> EncodePattern(int count);

private:
    Settings settings;
    AVCodecContext* context = nullptr;
    AVFrame* frame = nullptr;
    AVPacket* packet = nullptr;
    int64_t pts = 0;
};

} // namespace testing_support
