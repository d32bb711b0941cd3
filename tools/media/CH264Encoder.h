// libx264 through libavcodec, set up as a field unit on a live link codes:
// zero latency, no B-frames, several slices, Annex B with the parameter sets
// in band before every key frame, so that a studio can join at any key frame.
#pragma once

#include "tools/media/CCodec.h"
#include "tools/media/CMediaPacket.h"

extern "C" {
#include <libavutil/pixfmt.h>
#include <libavutil/rational.h>
}

#include <cstdint>
#include <string>
#include <vector>

struct AVFrame;

namespace media {

class CH264Encoder : private CCodec {
public:
    struct Settings {
        int width = 320;
        int height = 240;
        int slices = 4;
        // Pictures from one key frame to the next, unless one is forced.
        int keyInterval = 250;
        // The fewest pictures between two key frames; 0 leaves it to libx264.
        int minKeyInterval = 0;
        int frameRate = 30;
        // Monochrome (4:0:0) streams may have odd sizes; only Y is coded.
        bool monochrome = false;
        // A column of intra blocks sweeps the picture every keyInterval
        // pictures instead of key frames: after the first picture no IDR,
        // a recovery point SEI where each sweep begins.
        bool intraRefresh = false;
        std::string preset = "veryfast";
        // Bits per second with a one-second buffer; 0 leaves the rate to the
        // quality setting.
        int64_t bitRate = 0;
        // Encoder threads (they split each picture, so no latency is added).
        int threads = 1;
        // The unit of the pictures' pts; {0, 1} counts pictures.
        AVRational timeBase{0, 1};
        // The colour the stream signals; unspecified signals nothing.
        AVColorSpace colourSpace = AVCOL_SPC_UNSPECIFIED;
        AVColorRange colourRange = AVCOL_RANGE_UNSPECIFIED;
    };

    // The field unit's own: pts in microseconds, a key frame every two
    // seconds, one thread a slice (zero latency makes one slice per thread),
    // and a preset a small machine keeps up with.
    static Settings Live(int width, int height, int fps, int64_t bitRate, int slices);

    CH264Encoder() = default;
    // Opened at once; Ok() says whether it could be.
    explicit CH264Encoder(const Settings& settings);
    CH264Encoder(int width, int height);
    virtual ~CH264Encoder();
    CH264Encoder(const CH264Encoder&) = delete;
    CH264Encoder& operator=(const CH264Encoder&) = delete;

    // False with a text in error when libx264 is missing or refuses.
    bool Open(const Settings& settings, std::string& error);
    void Close();
    bool Ok() const { return context != nullptr; }

    // Encodes one picture of the encoder's size and format whose pts is in
    // the time base (strictly increasing); null drains the encoder. Finished
    // access units are appended to out, timed in the time base. False on an
    // encoder error.
    bool Encode(AVFrame* picture, std::vector<CMediaPacket>& out, bool forceKey = false);
    // Encodes one packed I420 picture, the next of the stream. With zero
    // latency every picture gives exactly one access unit at once; an empty
    // one means the encoder failed.
    CMediaPacket Encode(const std::vector<uint8_t>& i420, bool forceKey = false);
    // A whole clip of the moving pattern, starting with a key frame.
    std::vector<CMediaPacket> EncodePattern(int count);

private:
    Settings settings;
    int64_t pictures = 0;
};

} // namespace media
