// A 5x7 bitmap font for the digits and the clock's separators, drawn straight
// into a luma plane: the test pattern needs no font files.
#pragma once

#include <cstdint>
#include <string>

class CDigitFont {
public:
    virtual ~CDigitFont() = default;

    static constexpr int kGlyphWidth = 5;
    static constexpr int kGlyphHeight = 7;

    // Draws text (digits, ':', '.', '-', ' ') at x, y with each font pixel
    // scale x scale plane pixels, clipped to the plane.
    static void Draw(uint8_t* plane, int stride, int width, int height, int x, int y, int scale,
                     const std::string& text, uint8_t value);
    // Width in plane pixels of text drawn at scale, spacing included.
    static int TextWidth(const std::string& text, int scale);
};
