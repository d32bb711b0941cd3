#include "CAudioRenderer.h"

#include "core/CErrorHandler.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <new>
#include <string>

CAudioRenderer::CAudioRenderer(int32_t ringHeaders)
    : ringSize(std::clamp<int32_t>(ringHeaders, 2, kHeaderCount)) {}

CAudioRenderer::~CAudioRenderer() {
    // The server closes first; this only keeps a forgotten Close from leaking.
    Release();
}

void CAudioRenderer::Open(SessionContext* s) {
    counters.Add(&Counters::opens);
    session = s;
    decoderOpen = false;
    deviceOpen = false;
    reported = false;
    if (!s || !s->playbackFormat)
        return;
    decoderOpen = decoder.Open(s) != 0;
    if (!decoderOpen)
        Report(u"The AAC decoder could not be opened: no programme sound is played.");

    FreeBuffers();
    {
        std::lock_guard guard(volumeLock);
        waveOut.SetVolume(volume);
    }
    waveOut.SetLive(queueLimitMs.load(std::memory_order_relaxed) != 0);
    waveOut.SetLatencyMs(receiveLatencyMs.load(std::memory_order_relaxed));
    if (!waveOut.Open(s->outputDevice, *s->playbackFormat)) {
        Report(u"The audio output device could not be opened: no programme sound is played.");
        return;
    }
    deviceOpen = true;
    blockAlign = s->playbackFormat->nBlockAlign;
    bytesPerSecond = s->playbackFormat->nSamplesPerSec * blockAlign;
    if (blockAlign)
        meter.Open(int32_t(s->playbackFormat->nSamplesPerSec), s->playbackFormat->nChannels);
}

void CAudioRenderer::Play(const uint8_t* data, uint32_t length) {
    counters.Add(&Counters::packets);
    lastPacketMicros = 0;
    if (!decoderOpen || !deviceOpen || !data) {
        counters.Add(&Counters::dropped);
        return;
    }

    // Decode the whole packet into pcmBuffer, never past its end.
    int32_t total = 0;
    bool failed = false;
    while (length > 0) {
        int32_t pcm = static_cast<int32_t>(kBufferBytes) - total;
        int32_t chunk = static_cast<int32_t>(std::min<uint32_t>(length, INT_MAX));
        int32_t used = decoder.Decode(pcmBuffer + total, &pcm, data, chunk);
        // An error, or a call that takes nothing and would never finish.
        if (used <= 0 || used > chunk || pcm < 0 ||
            pcm > static_cast<int32_t>(kBufferBytes) - total) {
            failed = true;
            break;
        }
        total += pcm;
        data += used;
        length -= static_cast<uint32_t>(used);
    }
    if (failed || total <= 0) {
        counters.Add(&Counters::dropped);
        if (int32_t rate = decoder.RefusedRate()) {
            const auto& f = *session->playbackFormat;
            std::u16string text = Utf8ToUtf16(
                "The field unit announced " + std::to_string(f.nSamplesPerSec) +
                " Hz but its audio is at " + std::to_string(rate) + " Hz: no programme sound is played.");
            Report(text.c_str());
        }
        return;
    }

    if (uint32_t limit = queueLimitMs.load(std::memory_order_relaxed)) {
        const uint32_t chosen = receiveLatencyMs.load(std::memory_order_relaxed);
        limit += chosen ? chosen : platform::CAudioOut::kLongestAdaptiveMs;
        if (waveOut.LatencyMs() >= limit) {
            counters.Add(&Counters::dropped);
            return;
        }
    }
    int32_t index = nextHeader.load(std::memory_order_relaxed);
    if (index >= ringSize)
        index = 0;
    platform::WAVEHDR& h = headers[index];
    if ((h.dwFlags.load(std::memory_order_acquire) & platform::WHDR_INQUEUE) ||
        !Provide(h, capacities[index], uint32_t(total))) {
        counters.Add(&Counters::dropped);
        return;
    }
    h.dwBufferLength = static_cast<uint32_t>(total);
    std::memcpy(h.lpData, pcmBuffer, static_cast<size_t>(total));
    if (!waveOut.Write(&h)) {
        counters.Add(&Counters::dropped);
        return;
    }
    counters.Add(&Counters::queued);
    if (bytesPerSecond)
        lastPacketMicros = uint32_t(uint64_t(total) * 1000000 / bytesPerSecond);
    // Here rather than on the device's thread, which must never wait.
    if (blockAlign)
        meter.Feed(pcmBuffer, uint32_t(total) / blockAlign);
    nextHeader.store((index + 1) % ringSize, std::memory_order_relaxed);
}

bool CAudioRenderer::Provide(platform::WAVEHDR& h, uint32_t& capacity, uint32_t bytes) {
    if (h.lpData && capacity >= bytes)
        return true;
    // Room for a packet of 2048 frames in stereo at least, so that a stream
    // of ordinary packets never comes back here.
    const uint32_t size = std::max<uint32_t>(bytes, 8192);
    waveOut.Unprepare(&h);
    delete[] h.lpData;
    h.lpData = new (std::nothrow) uint8_t[size];
    capacity = h.lpData ? size : 0;
    h.dwBufferLength = capacity;
    h.dwFlags = 0;
    return h.lpData && waveOut.Prepare(&h);
}

void CAudioRenderer::SetReceiveLatencyMs(uint32_t ms) {
    receiveLatencyMs.store(ms, std::memory_order_relaxed);
    waveOut.SetLatencyMs(ms);
}

void CAudioRenderer::Report(const char16_t* text) {
    if (reported || !session)
        return;
    reported = true;
    if (CErrorHandler* handler = session->errorHandler)
        handler->ReportText(text, CErrorLine::Level::kError); // no programme sound
}

void CAudioRenderer::Close() {
    counters.Add(&Counters::closes);
    Release();
}

void CAudioRenderer::Release() {
    meter.Close();
    // Stops at once; every header comes back before its buffer goes.
    waveOut.Reset();
    for (auto& h : headers)
        waveOut.Unprepare(&h);
    waveOut.Close();
    FreeBuffers();
    decoder.Close();
    deviceOpen = false;
    decoderOpen = false;
}

void CAudioRenderer::FreeBuffers() {
    for (uint32_t& c : capacities)
        c = 0;
    for (auto& h : headers) {
        delete[] h.lpData;
        h.lpData = nullptr;
        h.dwBufferLength = 0;
        h.dwFlags = 0;
    }
}

uint32_t CAudioRenderer::GetVolume() {
    return volume.load();
}

void CAudioRenderer::SetVolume(uint32_t v) {
    std::lock_guard guard(volumeLock);
    volume = v;
    waveOut.SetVolume(v);
}

uint32_t CAudioRenderer::AheadMicros() const {
    const double queued = waveOut.LatencyMs();
    const double ahead = waveOut.Starving() ? std::max(queued, waveOut.TargetLatencyMs()) : queued;
    return uint32_t(ahead * 1000.0);
}

CAudioRenderer::Counters CAudioRenderer::GetCounters() const {
    Counters c = counters.Snapshot();
    c.underruns = waveOut.Underruns();
    c.skips = waveOut.Skips();
    c.latencyMicros = static_cast<uint32_t>(waveOut.LatencyMs() * 1000.0);
    c.targetMicros = static_cast<uint32_t>(waveOut.TargetLatencyMs() * 1000.0);
    return c;
}
