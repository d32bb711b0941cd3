// Where the sample grabber hands each whole chunk of captured PCM: the return
// audio sender of the connection. Kept as a small interface so that the
// grabber and the sender need not know each other.
#pragma once

#include <cstdint>

class CChunkSender {
public:
    virtual ~CChunkSender() = default;
    // On the capture streaming thread; must never wait.
    virtual void Send(const uint8_t* chunk, uint32_t length) = 0;
};
