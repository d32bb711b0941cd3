// Y'CbCr to RGB: the factors of each matrix and range, which the display's
// shader takes too, and 4:2:0 pictures converted to 8-bit BGRA on the CPU,
// for a display whose OpenGL renders in software, where converting in a
// shader costs about three times as much as converting once here and letting
// the renderer copy or stretch the result.
#pragma once

#include "platform/VideoWindow.h"

#include <cstdint>

namespace platform {

// A conversion's factors, for the picture's matrix (its luma weights) and
// range (limited range codes Y in 16..235 and U, V in 16..240 of 255):
//   R = luma (Y - black) + rv (V - 128)
//   G = luma (Y - black) + gu (U - 128) + gv (V - 128)
//   B = luma (Y - black) + bu (U - 128)
// in levels of 0..255, or the same in fractions of 255.
struct YuvFactors {
    double luma, black, rv, gu, gv, bu;
};
YuvFactors FactorsOf(const YuvColour& colour);

// The planes of a picture as the converter reads them: Y, and U and V either
// in planes of their own (chromaStep 1) or interleaved as U, V pairs (u and
// v one byte apart, chromaStep 2), each with its distance from row to row. The
// chroma has half the width and height of the luma, rounded down; a last odd
// column or row takes the chroma of the one before it.
struct YuvSource {
    const uint8_t* y = nullptr;
    const uint8_t* u = nullptr;
    const uint8_t* v = nullptr;
    int32_t yStride = 0;
    int32_t uStride = 0;
    int32_t vStride = 0;
    int32_t chromaStep = 1;
    int32_t width = 0;
    int32_t height = 0;
    YuvColour colour;
};

// Writes the picture's pixels as B, G, R, 255, rows outStride bytes apart.
// Each level is within one of the exact conversion. Pictures narrower or
// lower than 2 pixels are not converted.
void ConvertToBgra(const YuvSource& source, uint8_t* out, int32_t outStride);

} // namespace platform
