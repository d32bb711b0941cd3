#include "CDigitFont.h"

namespace {

// One row per byte, the glyph's leftmost pixel in bit 4.
const uint8_t* Glyph(char c) {
    static const uint8_t digits[10][7] = {
        {0x0E, 0x11, 0x13, 0x15, 0x19, 0x11, 0x0E}, // 0
        {0x04, 0x0C, 0x04, 0x04, 0x04, 0x04, 0x0E}, // 1
        {0x0E, 0x11, 0x01, 0x02, 0x04, 0x08, 0x1F}, // 2
        {0x1F, 0x02, 0x04, 0x02, 0x01, 0x11, 0x0E}, // 3
        {0x02, 0x06, 0x0A, 0x12, 0x1F, 0x02, 0x02}, // 4
        {0x1F, 0x10, 0x1E, 0x01, 0x01, 0x11, 0x0E}, // 5
        {0x06, 0x08, 0x10, 0x1E, 0x11, 0x11, 0x0E}, // 6
        {0x1F, 0x01, 0x02, 0x04, 0x08, 0x08, 0x08}, // 7
        {0x0E, 0x11, 0x11, 0x0E, 0x11, 0x11, 0x0E}, // 8
        {0x0E, 0x11, 0x11, 0x0F, 0x01, 0x02, 0x0C}, // 9
    };
    static const uint8_t colon[7] = {0x00, 0x0C, 0x0C, 0x00, 0x0C, 0x0C, 0x00};
    static const uint8_t dot[7] = {0x00, 0x00, 0x00, 0x00, 0x00, 0x0C, 0x0C};
    static const uint8_t dash[7] = {0x00, 0x00, 0x00, 0x1F, 0x00, 0x00, 0x00};
    if (c >= '0' && c <= '9')
        return digits[c - '0'];
    if (c == ':')
        return colon;
    if (c == '.')
        return dot;
    if (c == '-')
        return dash;
    return nullptr;
}

} // namespace

int CDigitFont::TextWidth(const std::string& text, int scale) {
    return int(text.size()) * (kGlyphWidth + 1) * scale;
}

void CDigitFont::Draw(uint8_t* plane, int stride, int width, int height, int x, int y, int scale,
                      const std::string& text, uint8_t value) {
    for (char c : text) {
        const uint8_t* rows = Glyph(c);
        for (int gy = 0; rows && gy < kGlyphHeight; ++gy) {
            for (int gx = 0; gx < kGlyphWidth; ++gx) {
                if (!(rows[gy] >> (kGlyphWidth - 1 - gx) & 1))
                    continue;
                for (int py = y + gy * scale; py < y + (gy + 1) * scale; ++py) {
                    if (py < 0 || py >= height)
                        continue;
                    for (int px = x + gx * scale; px < x + (gx + 1) * scale; ++px)
                        if (px >= 0 && px < width)
                            plane[py * stride + px] = value;
                }
            }
        }
        x += (kGlyphWidth + 1) * scale;
    }
}
