#include "AudioOut.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace platform {

namespace {

constexpr uint16_t kMaxChannels = 8;
constexpr uint32_t kMinRate = 1000;
constexpr uint32_t kMaxRate = 384000;
// The device is served in pieces of at most this many frames, each with its
// own look at the queue.
constexpr uint32_t kPieceFrames = 1024;
// A start from dry that has some audio but not its target waits at most this
// many frames, or the target's worth if longer, so that the last short piece
// of a stream still plays and a stream arriving in real time has its target.
constexpr uint32_t kMaxDeferredFrames = 16 * 512;

double Ramp(uint32_t i, uint32_t n) {
    // Raised cosine from 0 to 1 over n steps.
    return 0.5 - 0.5 * std::cos(3.14159265358979323846 * (i + 0.5) / n);
}

} // namespace

CAudioOut::CAudioOut() = default;

CAudioOut::~CAudioOut() { Close(); }

int32_t CAudioOut::DeviceCount() {
    return static_cast<int32_t>(CAudioSystem::Devices(false).size());
}

std::string CAudioOut::DeviceName(int32_t index) {
    std::vector<std::string> names = CAudioSystem::Devices(false);
    if (index < 0 || index >= static_cast<int32_t>(names.size()))
        return {};
    return names[index];
}

int32_t CAudioOut::FindDevice(const std::string& name) {
    std::vector<std::string> names = CAudioSystem::Devices(false);
    auto it = std::find(names.begin(), names.end(), name);
    return it == names.end() ? -1 : static_cast<int32_t>(it - names.begin());
}

uint32_t CAudioOut::Open(int32_t device, const WAVEFORMATEX& wanted) {
    Close();
    if (wanted.wFormatTag != WAVE_FORMAT_PCM || wanted.wBitsPerSample != 16 ||
        wanted.nChannels == 0 || wanted.nChannels > kMaxChannels ||
        wanted.nBlockAlign != wanted.nChannels * 2 || wanted.nSamplesPerSec < kMinRate ||
        wanted.nSamplesPerSec > kMaxRate)
        return 0;

    std::string name;
    if (device >= 0) {
        name = DeviceName(device);
        if (name.empty())
            return 0;
    }

    // Set before the device's thread exists, which reads them.
    channels = wanted.nChannels;
    rate = wanted.nSamplesPerSec;
    blockAlign = wanted.nBlockAlign;
    head = 0;
    tail = 0;
    offset = 0;
    queuedBytes = 0;
    largestWrite = 0;
    starving = true;
    deferrals = 0;
    fadeInLeft = 0;
    fadeFrames = std::max<uint32_t>(1, rate * kFadeMs / 1000);

    CPlayoutControl::Settings settings;
    settings.rate = rate;
    settings.targetFrames = rate * 60 / 1000;
    settings.targetStepFrames = rate * 40 / 1000;
    settings.skipAboveFrames = rate * 250 / 1000;
    settings.floorFrames = rate * 25 / 1000;

    if (!resampler.Open(channels, rate, settings.maxCorrection))
        return 0;
    // Room for a piece at the fastest ratio, plus the filter's look-ahead.
    input.assign((kPieceFrames * 102 / 100 + 64) * channels, 0);
    fadeBuffer.assign(size_t(fadeFrames) * channels, 0);

    PcmFormat format{rate, channels};
    stream = CAudioSystem::OpenPlayback(name, format, kPeriodFrames, kDeviceFrames, this);
    if (!stream)
        return 0;

    bytesPerSec = wanted.nSamplesPerSec * wanted.nBlockAlign;
    deviceFrames = stream->BufferFrames();
    // The targets leave out what the device holds; the callback runs only
    // from Start.
    settings.maxTargetFrames = std::max(settings.targetFrames, QueueFramesFor(kLongestAdaptiveMs));
    appliedLatencyMs = latencyMs.load(std::memory_order_relaxed);
    settings.fixedFrames = appliedLatencyMs ? QueueFramesFor(appliedLatencyMs) : 0;
    control.Reset(settings);
    targetFrames = control.TargetFrames();
    {
        std::lock_guard guard(writerLock);
        deviceId = 1;
    }
    stream->Start();
    return 1;
}

void CAudioOut::Close() {
    std::lock_guard guard(writerLock);
    if (!deviceId)
        return;
    // Closing waits for a running callback; none comes after it.
    stream.reset();
    ReturnQueued();
    deviceId = 0;
    bytesPerSec = 0;
}

uint32_t CAudioOut::Prepare(WAVEHDR* header) {
    if (!header || !header->lpData)
        return 0;
    uint32_t flags = header->dwFlags.load(std::memory_order_acquire);
    if (flags & WHDR_INQUEUE)
        return 0;
    header->dwFlags.store(flags | WHDR_PREPARED, std::memory_order_relaxed);
    return 1;
}

uint32_t CAudioOut::Unprepare(WAVEHDR* header) {
    if (!header)
        return 0;
    uint32_t flags = header->dwFlags.load(std::memory_order_acquire);
    if (flags & WHDR_INQUEUE)
        return 0;
    header->dwFlags.store(flags & ~WHDR_PREPARED, std::memory_order_relaxed);
    return 1;
}

uint32_t CAudioOut::Write(WAVEHDR* header) {
    std::lock_guard guard(writerLock);
    if (!deviceId || !header)
        return 0;
    uint32_t flags = header->dwFlags.load(std::memory_order_acquire);
    if (!(flags & WHDR_PREPARED) || (flags & WHDR_INQUEUE))
        return 0;
    uint32_t h = head.load(std::memory_order_relaxed);
    if (h - tail.load(std::memory_order_acquire) >= kRingSize)
        return 0;
    // Whole frames only: the callback reads the queue frame by frame.
    header->dwBufferLength -= header->dwBufferLength % blockAlign.load(std::memory_order_relaxed);
    header->dwFlags.store((flags & ~WHDR_DONE) | WHDR_INQUEUE, std::memory_order_relaxed);
    ring[h % kRingSize].store(header, std::memory_order_relaxed);
    uint32_t frames = header->dwBufferLength / blockAlign.load(std::memory_order_relaxed);
    if (frames > largestWrite.load(std::memory_order_relaxed))
        largestWrite.store(frames, std::memory_order_relaxed);
    queuedBytes.fetch_add(header->dwBufferLength, std::memory_order_release);
    head.store(h + 1, std::memory_order_release);
    return 1;
}

void CAudioOut::Reset() {
    std::lock_guard guard(writerLock);
    if (!deviceId)
        return;
    // The stream's lock keeps the callback out while the ring is emptied.
    stream->Lock();
    ReturnQueued();
    stream->Unlock();
}

void CAudioOut::ReturnQueued() {
    uint32_t h = head.load(std::memory_order_acquire);
    for (uint32_t t = tail.load(std::memory_order_relaxed); t != h; ++t) {
        WAVEHDR* header = ring[t % kRingSize].load(std::memory_order_relaxed);
        uint32_t flags = header->dwFlags.load(std::memory_order_relaxed);
        header->dwFlags.store((flags & ~WHDR_INQUEUE) | WHDR_DONE, std::memory_order_release);
    }
    tail.store(h, std::memory_order_release);
    offset.store(0, std::memory_order_relaxed);
    queuedBytes.store(0, std::memory_order_relaxed);
    starving.store(true, std::memory_order_relaxed);
    deferrals = 0;
}

double CAudioOut::LatencyMs() const {
    uint32_t bytesRate = bytesPerSec.load(std::memory_order_relaxed);
    if (!bytesRate)
        return 0.0;
    double bytes = static_cast<double>(queuedBytes.load(std::memory_order_relaxed)) +
                   static_cast<double>(deviceFrames.load(std::memory_order_relaxed)) *
                       blockAlign.load(std::memory_order_relaxed);
    return bytes * 1000.0 / bytesRate;
}

uint32_t CAudioOut::QueueFramesFor(uint32_t ms) const {
    const uint64_t frames = uint64_t(rate) * ms / 1000;
    const uint64_t device = deviceFrames.load(std::memory_order_relaxed);
    // A latency below the device's own buffer keeps a floor's worth queued.
    const uint32_t least = rate * 25 / 1000;
    return uint32_t(std::max<uint64_t>(least, frames > device ? frames - device : 0));
}

double CAudioOut::TargetLatencyMs() const {
    uint32_t bytesRate = bytesPerSec.load(std::memory_order_relaxed);
    if (!bytesRate)
        return 0.0;
    return TargetMs() + double(deviceFrames.load(std::memory_order_relaxed)) *
                            blockAlign.load(std::memory_order_relaxed) * 1000.0 / bytesRate;
}

double CAudioOut::TargetMs() const {
    uint32_t bytesRate = bytesPerSec.load(std::memory_order_relaxed);
    if (!bytesRate)
        return 0.0;
    return double(targetFrames.load(std::memory_order_relaxed)) *
           blockAlign.load(std::memory_order_relaxed) * 1000.0 / bytesRate;
}

// Everything below runs on the sound system's thread: no locks, no allocation.

void CAudioOut::Pull(uint8_t* out, uint32_t bytes) {
    const uint32_t frame = channels * 2u;
    uint32_t frames = frame ? bytes / frame : 0;
    auto* samples = reinterpret_cast<int16_t*>(out);
    while (frames > 0) {
        uint32_t n = std::min(frames, kPieceFrames);
        Fill(samples, n);
        ApplyGain(samples, n * channels);
        samples += size_t(n) * channels;
        frames -= n;
    }
    // A part frame the device asked for plays as silence.
    uint32_t whole = frame ? bytes / frame * frame : 0;
    std::memset(out + whole, 0, bytes - whole);
}

void CAudioOut::Fill(int16_t* out, uint32_t frames) {
    const uint32_t frame = channels * 2u;
    uint32_t queued = queuedBytes.load(std::memory_order_acquire) / frame;
    control.SetArrivalFrames(largestWrite.load(std::memory_order_relaxed));
    if (const uint32_t chosen = latencyMs.load(std::memory_order_relaxed); chosen != appliedLatencyMs) {
        appliedLatencyMs = chosen;
        control.SetFixedFrames(chosen ? QueueFramesFor(chosen) : 0);
        targetFrames.store(control.TargetFrames(), std::memory_order_relaxed);
    }

    if (starving.load(std::memory_order_relaxed)) {
        // From dry, play only once the target is queued: a stream that then
        // arrives in real time has that much slack against its jitter.
        const uint32_t patience = std::max(kMaxDeferredFrames, control.TargetFrames());
        bool start = live ? control.ReadyToStart(queued) || (queued > 0 && deferrals >= patience)
                          : queued > 0;
        targetFrames.store(control.TargetFrames(), std::memory_order_relaxed);
        if (!start) {
            if (queued > 0)
                deferrals += frames;
            else
                control.Dry(frames);
            std::memset(out, 0, size_t(frames) * frame);
            return;
        }
        starving.store(false, std::memory_order_relaxed);
        deferrals = 0;
        fadeInLeft = fadeFrames;
        resampler.Reset();
    }

    if (!live) {
        // As written: a plain copy, faded only where it runs dry.
        uint32_t made = std::min(queued, frames);
        Visit(0, reinterpret_cast<uint8_t*>(out), made * frame, false);
        Consume(made * frame);
        FadeEdges(out, made, frames, queued - made);
        return;
    }

    if (uint32_t skip = control.SkipFrames(queued)) {
        SkipWithCrossFade(skip);
        control.Skipped();
        skips.fetch_add(1, std::memory_order_relaxed);
        queued -= skip;
    }

    double wanted = control.Ratio(queued, frames);
    resampler.SetRatio(wanted);
    ratio.store(resampler.Ratio(), std::memory_order_relaxed);

    // What the resampler may read: a period's worth at this ratio and its
    // look-ahead, never more than is queued.
    const uint32_t capacity = static_cast<uint32_t>(input.size() / channels);
    uint32_t need = static_cast<uint32_t>(std::ceil(frames * wanted)) + 16;
    uint32_t take = std::min({queued, need, capacity});
    Visit(0, reinterpret_cast<uint8_t*>(input.data()), take * frame, false);
    uint32_t inLength = take;
    uint32_t outLength = frames;
    resampler.Process(input.data(), inLength, out, outLength);
    Consume(inLength * frame);

    const uint32_t left = queued - std::min<uint32_t>(queued, inLength);
    if (outLength == frames)
        control.Left(left);
    // Grown by a near miss, or winding back.
    targetFrames.store(control.TargetFrames(), std::memory_order_relaxed);
    FadeEdges(out, outLength, frames, left);
}

void CAudioOut::FadeEdges(int16_t* out, uint32_t made, uint32_t frames, uint32_t left) {
    const uint32_t frame = channels * 2u;
    if (fadeInLeft) {
        uint32_t start = fadeFrames - fadeInLeft;
        uint32_t n = std::min(fadeInLeft, made);
        for (uint32_t i = 0; i < n; ++i) {
            double g = Ramp(start + i, fadeFrames);
            for (uint16_t c = 0; c < channels; ++c)
                out[size_t(i) * channels + c] = static_cast<int16_t>(out[size_t(i) * channels + c] * g);
        }
        fadeInLeft -= n;
    }

    // Running dry within this period: fade out what there is rather than
    // stop on a full sample. A period that merely leaves little plays on:
    // the next packet is usually in before the next period, and if it is
    // not, that period fades out what is left.
    if (made < frames) {
        uint32_t n = std::min(made, fadeFrames);
        for (uint32_t i = 0; i < n; ++i) {
            double g = Ramp(n - 1 - i, n);
            size_t at = size_t(made - n + i) * channels;
            for (uint16_t c = 0; c < channels; ++c)
                out[at + c] = static_cast<int16_t>(out[at + c] * g);
        }
        std::memset(out + size_t(made) * channels, 0, size_t(frames - made) * frame);
        // The few frames left would only be a blip of their own later.
        Consume(left * frame);
        starving.store(true, std::memory_order_relaxed);
        fadeInLeft = 0;
        underruns.fetch_add(1, std::memory_order_relaxed);
        control.Underrun();
        targetFrames.store(control.TargetFrames(), std::memory_order_relaxed);
    }
}

void CAudioOut::Visit(uint32_t skip, uint8_t* data, uint32_t bytes, bool store) {
    uint32_t t = tail.load(std::memory_order_relaxed);
    const uint32_t h = head.load(std::memory_order_acquire);
    uint32_t off = offset.load(std::memory_order_relaxed) + skip;
    while (bytes > 0 && t != h) {
        WAVEHDR* header = ring[t % kRingSize].load(std::memory_order_relaxed);
        uint32_t size = header->dwBufferLength;
        if (off >= size) {
            off -= size;
            ++t;
            continue;
        }
        uint32_t n = std::min(size - off, bytes);
        if (store)
            std::memcpy(header->lpData + off, data, n);
        else
            std::memcpy(data, header->lpData + off, n);
        data += n;
        bytes -= n;
        off = 0;
        ++t;
    }
}

void CAudioOut::Consume(uint32_t bytes) {
    uint32_t t = tail.load(std::memory_order_relaxed);
    const uint32_t h = head.load(std::memory_order_acquire);
    uint32_t off = offset.load(std::memory_order_relaxed);
    uint32_t done = 0;
    while (done < bytes && t != h) {
        WAVEHDR* header = ring[t % kRingSize].load(std::memory_order_relaxed);
        uint32_t size = header->dwBufferLength;
        uint32_t n = std::min(size - std::min(off, size), bytes - done);
        done += n;
        off += n;
        if (off >= size) {
            uint32_t flags = header->dwFlags.load(std::memory_order_relaxed);
            header->dwFlags.store((flags & ~WHDR_INQUEUE) | WHDR_DONE, std::memory_order_release);
            off = 0;
            tail.store(++t, std::memory_order_release);
        }
    }
    offset.store(off, std::memory_order_relaxed);
    queuedBytes.fetch_sub(done, std::memory_order_relaxed);
}

void CAudioOut::SkipWithCrossFade(uint32_t frames) {
    // The fade's length of audio at the play position fades out into the
    // same length after the skip, which then plays on from there.
    const uint32_t frame = channels * 2u;
    const uint32_t n = fadeFrames;
    std::vector<int16_t>& from = fadeBuffer;
    int16_t* to = input.data(); // free until the resampler reads this period
    Visit(0, reinterpret_cast<uint8_t*>(from.data()), n * frame, false);
    Visit(frames * frame, reinterpret_cast<uint8_t*>(to), n * frame, false);
    for (uint32_t i = 0; i < n; ++i) {
        double g = Ramp(i, n);
        for (uint16_t c = 0; c < channels; ++c) {
            size_t at = size_t(i) * channels + c;
            to[at] = static_cast<int16_t>(std::lround(from[at] * (1.0 - g) + to[at] * g));
        }
    }
    Visit(frames * frame, reinterpret_cast<uint8_t*>(to), n * frame, true);
    Consume(frames * frame);
}

void CAudioOut::ApplyGain(int16_t* samples, uint32_t count) const {
    uint32_t v = volume.load(std::memory_order_relaxed);
    if (v == 0xFFFFFFFF || channels == 0)
        return;
    const int32_t left = static_cast<int32_t>(v & 0xFFFF);
    const int32_t right = static_cast<int32_t>(v >> 16);
    // Mono follows the left level; channels beyond the first pair the mean.
    int32_t gains[kMaxChannels];
    for (uint16_t c = 0; c < channels; ++c)
        gains[c] = c == 0 ? left : c == 1 ? right : (left + right) / 2;
    uint16_t c = 0;
    for (uint32_t i = 0; i < count; ++i) {
        samples[i] = static_cast<int16_t>(samples[i] * gains[c] / 0xFFFF);
        if (++c == channels)
            c = 0;
    }
}

} // namespace platform
