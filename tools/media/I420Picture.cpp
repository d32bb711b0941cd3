#include "tools/media/I420Picture.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace media {

namespace {

uint8_t Clamp(double v) {
    return uint8_t(std::clamp(std::lround(v), 0L, 255L));
}

void FillRect(std::vector<uint8_t>& p, int w, int h, int x0, int y0, int x1, int y1, Yuv c) {
    uint8_t* y = p.data();
    uint8_t* u = y + size_t(w) * h;
    uint8_t* v = u + size_t(w / 2) * (h / 2);
    for (int row = y0; row < y1; ++row)
        std::memset(y + size_t(row) * w + x0, c.y, size_t(x1 - x0));
    for (int row = y0 / 2; row < std::min(y1 / 2, h / 2); ++row) {
        int from = x0 / 2, to = std::min(x1 / 2, w / 2);
        std::memset(u + size_t(row) * (w / 2) + from, c.u, size_t(to - from));
        std::memset(v + size_t(row) * (w / 2) + from, c.v, size_t(to - from));
    }
}

} // namespace

Yuv YuvFromRgb(int r, int g, int b) {
    return {Clamp(16 + (65.481 * r + 128.553 * g + 24.966 * b) / 255),
            Clamp(128 + (-37.797 * r - 74.203 * g + 112.0 * b) / 255),
            Clamp(128 + (112.0 * r - 93.786 * g - 18.214 * b) / 255)};
}

size_t I420Size(int width, int height) {
    return size_t(width) * height + 2 * size_t(width / 2) * (height / 2);
}

std::vector<uint8_t> SolidPicture(int width, int height, Yuv colour) {
    std::vector<uint8_t> p(I420Size(width, height));
    FillRect(p, width, height, 0, 0, width, height, colour);
    return p;
}

int PatternBoxSide(int width, int height) {
    return std::max(2, std::min(height / 4, width / 4) & ~1);
}

int PatternBoxLeft(int width, int index) {
    int step = std::max(2, (width / 32) & ~1);
    int span = std::max(2, width - width / 4);
    return ((index * step) % span) & ~1;
}

std::vector<uint8_t> PatternPicture(int width, int height, int index) {
    std::vector<uint8_t> p(I420Size(width, height));
    int midX = (width / 2) & ~1, midY = (height / 2) & ~1;
    FillRect(p, width, height, 0, 0, midX, midY, YuvFromRgb(255, 0, 0));
    FillRect(p, width, height, midX, 0, width, midY, YuvFromRgb(0, 255, 0));
    FillRect(p, width, height, 0, midY, midX, height, YuvFromRgb(0, 0, 255));
    FillRect(p, width, height, midX, midY, width, height, YuvFromRgb(255, 255, 255));
    int side = PatternBoxSide(width, height);
    int left = PatternBoxLeft(width, index);
    int top = (midY - side / 2) & ~1;
    FillRect(p, width, height, left, top, std::min(width, left + side),
             std::min(height, top + side), YuvFromRgb(255, 255, 0));
    return p;
}

} // namespace media
