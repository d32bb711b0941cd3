#include "CPictureMeter.h"

#include <algorithm>
#include <cmath>

namespace {

int64_t Nanoseconds(CPictureMeter::Clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
}

CPictureMeter::Clock::time_point TimePoint(int64_t nanoseconds) {
    return CPictureMeter::Clock::time_point(
        std::chrono::duration_cast<CPictureMeter::Clock::duration>(
            std::chrono::nanoseconds(nanoseconds)));
}

} // namespace

void CPictureMeter::Feed(const uint8_t* luma, int32_t stride, int32_t width, int32_t height,
                         bool fullRange, bool keyFrame, float blackLevel, Clock::time_point now) {
    if (!luma || width <= 0 || height <= 0 || stride < width)
        return;
    std::array<uint16_t, 256> histogram{}; // of the blocks' brightest pixels
    float difference = 0;
    for (int r = 0; r < kRows; ++r) {
        const int top = int(int64_t(r) * height / kRows) & ~(kBlock - 1);
        const int rows = std::min(kBlock, height - top);
        for (int c = 0; c < kColumns; ++c) {
            const int left = int(int64_t(c) * width / kColumns) & ~(kBlock - 1);
            const int columns = std::min(kBlock, width - left);
            const uint8_t* at = luma + int64_t(top) * stride + left;
            uint32_t sum = 0;
            uint8_t brightest = 0;
            for (int y = 0; y < rows; ++y, at += stride)
                for (int x = 0; x < columns; ++x) {
                    sum += at[x];
                    brightest = std::max(brightest, at[x]);
                }
            ++histogram[brightest];
            float& before = previous[size_t(r * kColumns + c)];
            const float mean = float(sum) / float(rows * columns);
            difference += std::abs(mean - before);
            before = mean;
        }
    }

    const bool sameSize = width == previousWidth && height == previousHeight;
    previousWidth = width;
    previousHeight = height;
    const float tolerance = keyFrame ? kRecodedDifference : kStillDifference;
    if (!sameSize || difference > tolerance * float(kBlocks))
        changedAt.store(Nanoseconds(now), std::memory_order_relaxed);

    const int wanted = int(kBlackShare * float(kBlocks));
    int below = 0, value = 0;
    for (; value < 255; ++value) {
        below += histogram[size_t(value)];
        if (below >= wanted)
            break;
    }
    const int black = fullRange ? 0 : 16;
    const int range = fullRange ? 255 : 235 - 16;
    const float percent = std::max(0.0f, float(value - black) * 100.0f / float(range));
    level.store(percent, std::memory_order_relaxed);
    const bool isDark = percent < blackLevel;
    if (isDark && !dark)
        darkAt.store(Nanoseconds(now), std::memory_order_relaxed);
    else if (!isDark && dark)
        darkAt.store(kNever, std::memory_order_relaxed);
    dark = isDark;
    pictures.fetch_add(1, std::memory_order_relaxed);
}

CPictureMeter::Reading CPictureMeter::Read() const {
    Reading reading;
    reading.pictures = pictures.load(std::memory_order_relaxed);
    if (int64_t t = changedAt.load(std::memory_order_relaxed); t != kNever)
        reading.changed = TimePoint(t);
    if (int64_t t = darkAt.load(std::memory_order_relaxed); t != kNever)
        reading.darkSince = TimePoint(t);
    reading.level = level.load(std::memory_order_relaxed);
    return reading;
}
