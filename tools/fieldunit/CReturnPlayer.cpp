#include "CReturnPlayer.h"

#include <SDL.h>

CReturnPlayer::~CReturnPlayer() {
    Close();
}

bool CReturnPlayer::Open(const std::string& name, int sampleRate, int channels,
                         std::string& error) {
    Close();
    sdl = std::make_unique<platform::CSdlAudio>();
    if (!sdl->Ok()) {
        error = std::string("no audio output: ") + SDL_GetError();
        Close();
        return false;
    }
    if (!name.empty()) {
        bool found = false;
        std::string known;
        for (int i = 0, n = SDL_GetNumAudioDevices(0); i < n; ++i) {
            const char* device = SDL_GetAudioDeviceName(i, 0);
            if (!device)
                continue;
            if (name == device)
                found = true;
            known += std::string(known.empty() ? "" : ", ") + "\"" + device + "\"";
        }
        if (!found) {
            error = "no audio output named \"" + name +
                    "\" (there are: " + (known.empty() ? std::string("none") : known) + ")";
            Close();
            return false;
        }
    }
    SDL_AudioSpec want{};
    want.freq = sampleRate;
    want.format = AUDIO_S16SYS;
    want.channels = uint8_t(channels);
    want.samples = 1024;
    SDL_AudioSpec have{};
    device = SDL_OpenAudioDevice(name.empty() ? nullptr : name.c_str(), 0, &want, &have, 0);
    if (device == 0) {
        error = std::string("cannot open the audio output: ") + SDL_GetError();
        Close();
        return false;
    }
    maxQueuedBytes = uint32_t(sampleRate) * uint32_t(channels) * 2 * kMaxQueuedMs / 1000;
    SDL_PauseAudioDevice(device, 0);
    return true;
}

void CReturnPlayer::Play(const int16_t* samples, size_t count) {
    if (!device)
        return;
    uint32_t bytes = uint32_t(count * 2);
    if (SDL_GetQueuedAudioSize(device) + bytes > maxQueuedBytes)
        SDL_ClearQueuedAudio(device);
    SDL_QueueAudio(device, samples, bytes);
}

void CReturnPlayer::Close() {
    if (device) {
        SDL_CloseAudioDevice(device);
        device = 0;
    }
    sdl.reset();
}
