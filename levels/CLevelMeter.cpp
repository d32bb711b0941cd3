#include "CLevelMeter.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

int64_t Nanoseconds(CLevelMeter::Clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
}

// The highest of the last count blocks, ending with the one at index.
float HighestOf(const std::array<float, CLevelMeter::kHoldBlocks>& peaks, int index, int count) {
    float highest = 0.0f;
    for (int i = 0; i < count; ++i)
        highest = std::max(
            highest,
            peaks[size_t((index - i + CLevelMeter::kHoldBlocks) % CLevelMeter::kHoldBlocks)]);
    return highest;
}

} // namespace

CLevelMeter::CLevelMeter() = default;

CLevelMeter::~CLevelMeter() {
    Release();
}

float CLevelMeter::Decibels(double fraction) {
    if (!(fraction > 0.0))
        return kFloor;
    return std::max(kFloor, float(20.0 * std::log10(fraction)));
}

bool CLevelMeter::Open(int32_t sampleRate, int32_t count) {
    Release();
    // The rates and channel counts a header may announce; the library takes
    // far more, but nothing else is decoded or captured.
    if (sampleRate < 8000 || sampleRate > 192000 || count < 1 || count > 64)
        return false;
    channels = count;
    metered = std::min(count, kMaxChannels);
    for (int32_t c = 0; c < metered; ++c) {
        states[size_t(c)] = ebur128_init(1, static_cast<unsigned long>(sampleRate),
                                         EBUR128_MODE_M | EBUR128_MODE_SAMPLE_PEAK);
        if (!states[size_t(c)] ||
            ebur128_set_channel(states[size_t(c)], 0, EBUR128_DUAL_MONO) != EBUR128_SUCCESS) {
            Release();
            return false;
        }
    }
    blockFrames = uint32_t(sampleRate * kBlock.count() / 1000);
    framesInBlock = 0;
    blockIndex = 0;
    for (auto& peaks : blockPeaks)
        peaks.fill(0.0f);
    currentPeak.fill(0.0f);
    for (auto& p : published) {
        p.peak = p.hold = p.loudness = kFloor;
    }
    lastFed = Nanoseconds(Clock::now());
    publishedChannels = metered;
    return true;
}

void CLevelMeter::Feed(const void* samples, uint32_t frames) {
    if (metered == 0 || !samples)
        return;
    const auto* bytes = static_cast<const uint8_t*>(samples);
    const size_t stride = size_t(channels) * sizeof(int16_t);
    while (frames > 0) {
        // Never past the end of a block, so that each block is published on time.
        uint32_t n = std::min({frames, kScratchFrames, blockFrames - framesInBlock});
        for (int32_t c = 0; c < metered; ++c) {
            const uint8_t* at = bytes + size_t(c) * sizeof(int16_t);
            for (uint32_t i = 0; i < n; ++i)
                std::memcpy(&scratch[i], at + i * stride, sizeof(int16_t));
            ebur128_state* state = states[size_t(c)];
            double peak = 0.0;
            if (ebur128_add_frames_short(state, scratch.data(), n) == EBUR128_SUCCESS &&
                ebur128_prev_sample_peak(state, 0, &peak) == EBUR128_SUCCESS)
                currentPeak[size_t(c)] = std::max(currentPeak[size_t(c)], float(peak));
        }
        bytes += n * stride;
        frames -= n;
        framesInBlock += n;
        if (framesInBlock == blockFrames)
            EndBlock();
    }
    lastFed.store(Nanoseconds(Clock::now()), std::memory_order_relaxed);
}

void CLevelMeter::EndBlock() {
    framesInBlock = 0;
    for (int32_t c = 0; c < metered; ++c) {
        auto& peaks = blockPeaks[size_t(c)];
        peaks[size_t(blockIndex)] = currentPeak[size_t(c)];
        currentPeak[size_t(c)] = 0.0f;
        double loudness = -HUGE_VAL;
        ebur128_loudness_momentary(states[size_t(c)], &loudness);
        Published& p = published[size_t(c)];
        p.peak.store(Decibels(HighestOf(peaks, blockIndex, kPeakBlocks)),
                     std::memory_order_relaxed);
        p.hold.store(Decibels(HighestOf(peaks, blockIndex, kHoldBlocks)),
                     std::memory_order_relaxed);
        p.loudness.store(std::isfinite(loudness) ? std::max(kFloor, float(loudness)) : kFloor,
                         std::memory_order_relaxed);
    }
    blockIndex = (blockIndex + 1) % kHoldBlocks;
}

void CLevelMeter::Close() {
    Release();
}

void CLevelMeter::Release() {
    publishedChannels = 0;
    for (auto& state : states)
        if (state)
            ebur128_destroy(&state);
    channels = metered = 0;
}

CLevelMeter::Reading CLevelMeter::Read(Clock::time_point now) const {
    Reading reading;
    reading.channels = publishedChannels.load();
    reading.open = reading.channels > 0;
    if (!reading.open)
        return reading;
    const int64_t since = Nanoseconds(now) - lastFed.load(std::memory_order_relaxed);
    reading.live = since < std::chrono::nanoseconds(kStaleAfter).count();
    if (!reading.live)
        return reading;
    for (int32_t c = 0; c < reading.channels; ++c) {
        const Published& p = published[size_t(c)];
        reading.channel[size_t(c)] = {p.peak.load(std::memory_order_relaxed),
                                      p.hold.load(std::memory_order_relaxed),
                                      p.loudness.load(std::memory_order_relaxed)};
    }
    return reading;
}
