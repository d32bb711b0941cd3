// Camera-like H.264 clips for the video benchmarks: fine texture panning
// across the picture and slowly shifting colours, coded as a field unit
// codes them (libx264 veryfast, zero latency, 4 slices, a key frame every
// two seconds), so that the decoder has real work at a broadcast rate.
#pragma once

#include "support/H264Maker.h"

#include <cstdint>
#include <vector>

namespace bench {

struct CameraClip {
    const char* name;
    int width;
    int height;
    int64_t bitRate;
    int frames;
    int frameRate;
    std::vector<testing_support::H264Packet> packets;
};

// Fills clip.packets; fewer than clip.frames packets when the encoder failed.
void MakeCameraClip(CameraClip& clip);

} // namespace bench
