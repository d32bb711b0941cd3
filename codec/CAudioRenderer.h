// Audio playback: decodes AAC packets to 16-bit PCM and queues it on the
// chosen output device through a ring of 32 headers.
#pragma once

#include "core/SessionContext.h"

#include <atomic>
#include <cstdint>

class CAudioRenderer {
public:
    CAudioRenderer();
    virtual ~CAudioRenderer();
    CAudioRenderer(const CAudioRenderer&) = delete;
    CAudioRenderer& operator=(const CAudioRenderer&) = delete;

    void Open(SessionContext* session);
    void Play(const uint8_t* data, uint32_t length);
    void Close();
    // Left level in the low 16 bits, right in the high 16 bits; 0xFFFF full.
    uint32_t GetVolume();
    void SetVolume(uint32_t volume);

    struct Counters {
        uint32_t opens = 0;   // Open calls
        uint32_t packets = 0; // Play calls
        uint32_t queued = 0;  // packets whose PCM went to the device
        uint32_t dropped = 0; // packets dropped (no PCM, too much, device busy)
        uint32_t closes = 0;  // Close calls
    };
    Counters GetCounters() const;

private:
    SessionContext* session = nullptr;
    std::atomic<uint32_t> volume{0xFFFFFFFF};
    std::atomic<uint32_t> opens{0}, packets{0}, queued{0}, dropped{0}, closes{0};
};
