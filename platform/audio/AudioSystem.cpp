// The sound system in use: PulseAudio where a server answers and SDL has not
// been told to use another one; SDL's own audio everywhere else.
#include "AudioStream.h"
#include "PulseAudioStream.h"
#include "SdlAudio.h"

#include <SDL.h>

#include <cstdlib>
#include <cstring>

namespace platform {

namespace {

bool UsePulse() {
    // SDL_AUDIODRIVER chooses the sound system for SDL; it is honoured here
    // too, so that one setting moves every stream of the process.
    const char* driver = std::getenv("SDL_AUDIODRIVER");
    if (driver && *driver && std::strcmp(driver, "pulseaudio") != 0 &&
        std::strcmp(driver, "pulse") != 0)
        return false;
    return pulse::Available();
}

class CSdlStream final : public CAudioStream {
public:
    CSdlStream(CPlaybackSource* source, CCaptureSink* sink) : source(source), sink(sink) {}
    ~CSdlStream() override {
        // Closing waits for a running callback; none comes after it.
        if (device)
            SDL_CloseAudioDevice(device);
    }

    bool Open(const std::string& name, const PcmFormat& format, uint32_t periodFrames) {
        if (!sdl.Ok())
            return false;
        SDL_AudioSpec want{};
        want.freq = static_cast<int>(format.rate);
        want.format = AUDIO_S16LSB;
        want.channels = static_cast<Uint8>(format.channels);
        want.samples = static_cast<Uint16>(std::min<uint32_t>(periodFrames, 8192));
        want.callback = &CSdlStream::Callback;
        want.userdata = this;
        SDL_AudioSpec have{};
        // No changes allowed: SDL converts to whatever the device takes.
        device = SDL_OpenAudioDevice(name.empty() ? nullptr : name.c_str(), sink ? 1 : 0, &want,
                                     &have, 0);
        frames = have.samples;
        return device != 0;
    }

    void Start() override { SDL_PauseAudioDevice(device, 0); }
    void Lock() override { SDL_LockAudioDevice(device); }
    void Unlock() override { SDL_UnlockAudioDevice(device); }
    uint32_t BufferFrames() const override { return frames; }

private:
    static void SDLCALL Callback(void* self, Uint8* data, int length) {
        auto* me = static_cast<CSdlStream*>(self);
        if (length <= 0)
            return;
        if (me->sink)
            me->sink->Push(data, static_cast<uint32_t>(length));
        else
            me->source->Pull(data, static_cast<uint32_t>(length));
    }

    CSdlAudio sdl;
    CPlaybackSource* const source;
    CCaptureSink* const sink;
    SDL_AudioDeviceID device = 0;
    uint32_t frames = 0;
};

std::unique_ptr<CAudioStream> OpenSdl(const std::string& device, const PcmFormat& format,
                                      uint32_t periodFrames, CPlaybackSource* source,
                                      CCaptureSink* sink) {
    auto s = std::make_unique<CSdlStream>(source, sink);
    if (!s->Open(device, format, periodFrames))
        return nullptr;
    return s;
}

} // namespace

std::vector<std::string> CAudioSystem::Devices(bool capture) {
    if (UsePulse())
        return pulse::Devices(capture);
    std::vector<std::string> names;
    CSdlAudio sdl;
    if (!sdl.Ok())
        return names;
    int n = SDL_GetNumAudioDevices(capture ? 1 : 0);
    for (int i = 0; i < n; ++i) {
        const char* name = SDL_GetAudioDeviceName(i, capture ? 1 : 0);
        names.emplace_back(name ? name : "");
    }
    return names;
}

std::unique_ptr<CAudioStream> CAudioSystem::OpenPlayback(const std::string& device,
                                                         const PcmFormat& format,
                                                         uint32_t periodFrames,
                                                         uint32_t bufferFrames,
                                                         CPlaybackSource* source) {
    if (UsePulse())
        return pulse::OpenPlayback(device, format, periodFrames, bufferFrames, source);
    // SDL's device buffer is its period.
    return OpenSdl(device, format, bufferFrames, source, nullptr);
}

std::unique_ptr<CAudioStream> CAudioSystem::OpenCapture(const std::string& device,
                                                        const PcmFormat& format,
                                                        uint32_t periodFrames, CCaptureSink* sink) {
    if (UsePulse())
        return pulse::OpenCapture(device, format, periodFrames, sink);
    return OpenSdl(device, format, periodFrames, nullptr, sink);
}

} // namespace platform
