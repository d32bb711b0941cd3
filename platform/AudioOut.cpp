#include "AudioOut.h"

#include <SDL.h>

#include <algorithm>
#include <cstring>

namespace platform {

namespace {

constexpr uint16_t kMaxChannels = 8;
constexpr uint32_t kMinRate = 1000;
constexpr uint32_t kMaxRate = 384000;

} // namespace

CAudioOut::CAudioOut() = default;

CAudioOut::~CAudioOut() {
    Close();
}

int32_t CAudioOut::DeviceCount() {
    CSdlAudio audio;
    if (!audio.Ok())
        return 0;
    return std::max(0, SDL_GetNumAudioDevices(0));
}

std::string CAudioOut::DeviceName(int32_t index) {
    CSdlAudio audio;
    if (!audio.Ok() || index < 0 || index >= SDL_GetNumAudioDevices(0))
        return {};
    const char* name = SDL_GetAudioDeviceName(index, 0);
    return name ? name : "";
}

int32_t CAudioOut::FindDevice(const std::string& name) {
    CSdlAudio audio;
    if (!audio.Ok())
        return -1;
    int count = SDL_GetNumAudioDevices(0);
    for (int i = 0; i < count; ++i) {
        const char* n = SDL_GetAudioDeviceName(i, 0);
        if (n && name == n)
            return i;
    }
    return -1;
}

uint32_t CAudioOut::Open(int32_t device, const WAVEFORMATEX& wanted) {
    Close();
    if (!sdl.Ok())
        return 0;
    if (wanted.wFormatTag != WAVE_FORMAT_PCM || wanted.wBitsPerSample != 16 ||
        wanted.nChannels == 0 || wanted.nChannels > kMaxChannels ||
        wanted.nBlockAlign != wanted.nChannels * 2 || wanted.nSamplesPerSec < kMinRate ||
        wanted.nSamplesPerSec > kMaxRate)
        return 0;

    std::string name;
    if (device >= 0) {
        if (device >= SDL_GetNumAudioDevices(0))
            return 0;
        const char* n = SDL_GetAudioDeviceName(device, 0);
        if (!n)
            return 0;
        name = n;
    }

    // Set before the device's thread exists, which reads them.
    channels = wanted.nChannels;
    blockAlign = wanted.nBlockAlign;
    head = 0;
    tail = 0;
    offset = 0;
    queuedBytes = 0;
    starving = true;
    deferrals = 0;

    SDL_AudioSpec want{};
    want.freq = static_cast<int>(wanted.nSamplesPerSec);
    want.format = AUDIO_S16SYS;
    want.channels = static_cast<Uint8>(wanted.nChannels);
    want.samples = kDeviceFrames;
    want.callback = &CAudioOut::Callback;
    want.userdata = this;
    SDL_AudioSpec have{};
    // No changes allowed: SDL converts to whatever the device takes.
    SDL_AudioDeviceID id =
        SDL_OpenAudioDevice(device >= 0 ? name.c_str() : nullptr, 0, &want, &have, 0);
    if (id == 0)
        return 0;

    bytesPerSec = wanted.nSamplesPerSec * wanted.nBlockAlign;
    deviceFrames = have.samples;
    {
        std::lock_guard guard(writerLock);
        deviceId = id;
    }
    SDL_PauseAudioDevice(id, 0);
    return 1;
}

void CAudioOut::Close() {
    std::lock_guard guard(writerLock);
    if (!deviceId)
        return;
    SDL_LockAudioDevice(deviceId);
    handshake.fetch_add(1, std::memory_order_acq_rel);
    ReturnQueued();
    handshake.fetch_add(1, std::memory_order_acq_rel);
    SDL_UnlockAudioDevice(deviceId);
    SDL_CloseAudioDevice(deviceId);
    handshake.fetch_add(1, std::memory_order_acq_rel);
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
    header->dwFlags.store((flags & ~WHDR_DONE) | WHDR_INQUEUE, std::memory_order_relaxed);
    ring[h % kRingSize].store(header, std::memory_order_relaxed);
    queuedBytes.fetch_add(header->dwBufferLength, std::memory_order_relaxed);
    head.store(h + 1, std::memory_order_release);
    return 1;
}

void CAudioOut::Reset() {
    std::lock_guard guard(writerLock);
    if (!deviceId)
        return;
    // The device lock keeps the callback out while the ring is emptied.
    SDL_LockAudioDevice(deviceId);
    handshake.fetch_add(1, std::memory_order_acq_rel);
    ReturnQueued();
    handshake.fetch_add(1, std::memory_order_acq_rel);
    SDL_UnlockAudioDevice(deviceId);
}

void CAudioOut::ReturnQueued() {
    uint32_t h = head.load(std::memory_order_relaxed);
    for (uint32_t t = tail.load(std::memory_order_relaxed); t != h; ++t) {
        WAVEHDR* header = ring[t % kRingSize].load(std::memory_order_relaxed);
        uint32_t flags = header->dwFlags.load(std::memory_order_relaxed);
        header->dwFlags.store((flags & ~WHDR_INQUEUE) | WHDR_DONE, std::memory_order_release);
    }
    tail.store(h, std::memory_order_release);
    offset.store(0, std::memory_order_relaxed);
    queuedBytes.store(0, std::memory_order_relaxed);
    starving.store(true, std::memory_order_relaxed);
    deferrals.store(0, std::memory_order_relaxed);
}

double CAudioOut::LatencyMs() const {
    uint32_t rate = bytesPerSec.load(std::memory_order_relaxed);
    if (!rate)
        return 0.0;
    double bytes = static_cast<double>(queuedBytes.load(std::memory_order_relaxed)) +
                   static_cast<double>(deviceFrames.load(std::memory_order_relaxed)) *
                       blockAlign.load(std::memory_order_relaxed);
    return bytes * 1000.0 / rate;
}

void CAudioOut::Callback(void* self, uint8_t* stream, int length) {
    static_cast<CAudioOut*>(self)->Fill(stream, length > 0 ? static_cast<uint32_t>(length) : 0);
}

// Runs on SDL's audio thread: no locks, no allocation.
void CAudioOut::Fill(uint8_t* stream, uint32_t length) {
    handshake.fetch_add(1, std::memory_order_acq_rel);
    // Starting from dry, wait a few periods for the queue to fill: a stream
    // that arrives in real time then has slack against its jitter, instead of
    // none. Every underrun so far asks for one period more.
    uint32_t prefill = std::min<uint32_t>(kMaxPrefillPeriods,
                                          2 + underruns.load(std::memory_order_relaxed));
    // Waiting is bounded too, so that the last short piece of a stream plays.
    if (starving.load(std::memory_order_relaxed) &&
        queuedBytes.load(std::memory_order_relaxed) < prefill * length &&
        deferrals.load(std::memory_order_relaxed) < prefill) {
        deferrals.fetch_add(1, std::memory_order_relaxed);
        std::memset(stream, 0, length);
        handshake.fetch_add(1, std::memory_order_acq_rel);
        return;
    }
    uint32_t done = 0;
    uint32_t t = tail.load(std::memory_order_relaxed);
    const uint32_t h = head.load(std::memory_order_acquire);
    uint32_t off = offset.load(std::memory_order_relaxed);
    while (done < length && t != h) {
        WAVEHDR* header = ring[t % kRingSize].load(std::memory_order_relaxed);
        uint32_t size = header->dwBufferLength;
        uint32_t n = std::min(size - std::min(off, size), length - done);
        if (n)
            std::memcpy(stream + done, header->lpData + off, n);
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
    ApplyGain(reinterpret_cast<int16_t*>(stream), done / 2);
    if (done < length) {
        std::memset(stream + done, 0, length - done);
        // Running dry while playing is an underrun; staying idle is not.
        if (!starving.exchange(true, std::memory_order_relaxed))
            underruns.fetch_add(1, std::memory_order_relaxed);
    } else {
        starving.store(false, std::memory_order_relaxed);
        deferrals.store(0, std::memory_order_relaxed);
    }
    handshake.fetch_add(1, std::memory_order_acq_rel);
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
