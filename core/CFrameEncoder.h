// What the return audio sender needs of an encoder: one frame of captured PCM
// in, one coded frame out. Kept as a small interface so that capture knows no
// codec library; the stream server, which knows both, hands the codec's
// encoder to each sender.
#pragma once

#include <cstdint>

struct SessionContext;

class CFrameEncoder {
public:
    virtual ~CFrameEncoder() = default;
    // Opens for the session's capture format; returns the frame size in
    // samples per channel, 0 when it cannot be opened.
    virtual int32_t Open(SessionContext* session) = 0;
    // Encodes one frame (frame size x block alignment bytes of samples) into
    // out, which has capacity bytes of room. Returns the bytes written; 0
    // while the encoder fills its delay; negative on error.
    virtual int32_t Encode(uint8_t* out, int32_t capacity, const int16_t* samples) = 0;
    virtual void Close() = 0;
};
