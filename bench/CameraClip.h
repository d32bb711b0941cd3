// Camera-like H.264 clips for the video benchmarks: fine texture panning
// across the picture and slowly shifting colours, coded as a field unit
// codes them (libx264 veryfast unless the clip says, zero latency, 4 slices,
// a key frame every two seconds), so that the decoder has real work at a
// broadcast rate.
#pragma once

#include "tools/media/CH264Encoder.h"

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
    std::vector<media::CMediaPacket> packets;
    const char* preset = "veryfast";
};

// Fills clip.packets; fewer than clip.frames packets when the encoder failed.
void MakeCameraClip(CameraClip& clip);

} // namespace bench
