// The video channel: decodes H.264 packets to I420 and draws every picture
// stretched into the session's video window.
#pragma once

#include "core/SessionContext.h"

#include <atomic>
#include <cstdint>

class CVideoRenderer {
public:
    CVideoRenderer();
    virtual ~CVideoRenderer();
    CVideoRenderer(const CVideoRenderer&) = delete;
    CVideoRenderer& operator=(const CVideoRenderer&) = delete;

    // Non-zero when the decoder opened.
    int32_t Open(SessionContext* session);
    void Draw(const uint8_t* data, uint32_t length, int32_t keyFrame);
    void Close();

    struct Counters {
        uint32_t opens = 0;    // Open calls
        uint32_t draws = 0;    // Draw calls
        uint32_t pictures = 0; // pictures handed to the window
        uint32_t closes = 0;   // Close calls that released an open channel
    };
    Counters GetCounters() const;

private:
    SessionContext* session = nullptr;
    bool open = false;
    std::atomic<uint32_t> opens{0}, draws{0}, pictures{0}, closes{0};
};
