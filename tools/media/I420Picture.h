// Test pictures in packed I420: one colour all over, or a pattern whose parts
// can be found again in a decoded picture.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace media {

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

} // namespace media
