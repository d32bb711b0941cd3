// Plays the return audio on an output device chosen by its name. A slow or
// stuck device drops audio instead of letting it pile up.
#pragma once

#include "platform/audio/SdlAudio.h"

#include <cstdint>
#include <memory>
#include <string>

class CReturnPlayer {
public:
    CReturnPlayer() = default;
    virtual ~CReturnPlayer();
    CReturnPlayer(const CReturnPlayer&) = delete;
    CReturnPlayer& operator=(const CReturnPlayer&) = delete;

    // An empty name is the system's default output. False with a text in
    // error when the device is not there or does not open.
    bool Open(const std::string& deviceName, int sampleRate, int channels, std::string& error);
    void Play(const int16_t* samples, size_t count);
    void Close();
    bool IsOpen() const { return device != 0; }

    // The most audio that may wait for the device.
    static constexpr int kMaxQueuedMs = 500;

private:
    std::unique_ptr<platform::CSdlAudio> sdl;
    uint32_t device = 0;
    uint32_t maxQueuedBytes = 0;
};
