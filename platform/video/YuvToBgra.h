// Y'CbCr to RGB: the factors of each matrix and range, which the display's
// shader takes too, and 4:2:0 pictures converted to 8-bit BGRA on the CPU,
// for a display whose OpenGL renders in software, where converting in a
// shader costs about three times as much as converting once here and letting
// the renderer copy or stretch the result.
#pragma once

#include "platform/VideoWindow.h"

#include <cstdint>
#include <vector>

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

// A picture converted to BGRA and stretched over a rectangle of width x
// height pixels as the display's OpenGL stretches it: linearly filtered
// where the rectangle is larger than the picture on either side, else the
// nearest sample. Only the part 'clip' of the rectangle (in its own
// coordinates) is written, its top left at out. Keeps the tables and rows
// of the last sizes, so that steady sizes allocate nothing.
class CBgraScaler {
public:
    void Scale(const YuvSource& source, int32_t width, int32_t height, const DrawRect& clip,
               uint8_t* out, int32_t outStride);

private:
    // Where each column or row of the clip samples the picture: the first
    // of two neighbours and the second's weight in 256ths, or, for the
    // nearest sample, the one sample.
    struct Axis {
        int32_t pictureSide = 0, side = 0, from = 0, to = 0;
        bool linear = false;
        std::vector<int32_t> index;
        std::vector<uint16_t> weight; // for columns, 8 lanes each: 4 of 256 - w, 4 of w
    };
    static void Fill(Axis& axis, int32_t pictureSide, int32_t side, int32_t from, int32_t to,
                     bool linear, int lanes);

    Axis columns, rows;
    std::vector<uint8_t> converted; // one picture row in BGRA
    std::vector<uint8_t> stretched; // two picture rows stretched across the clip
};

} // namespace platform
