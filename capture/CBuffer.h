// A byte queue: bytes are appended at the end and taken whole from the front.
#pragma once

#include <cstdint>

class CBuffer {
public:
    CBuffer() = default;
    virtual ~CBuffer();
    CBuffer(const CBuffer&) = delete;
    CBuffer& operator=(const CBuffer&) = delete;

    // False when the room cannot be had; then nothing changes and the new
    // bytes are lost.
    int32_t Append(const uint8_t* bytes, uint32_t count);
    // Copies the first count bytes to destination and removes them. False,
    // with nothing changed, when fewer than count bytes are held.
    int32_t Take(uint8_t* destination, uint32_t count);

    uint32_t Length() const { return length; }

private:
    uint32_t length = 0;
    uint8_t* data = nullptr;
    // The block keeps its room between uses, so that steady traffic needs no
    // allocation after the first few appends.
    uint32_t capacity = 0;
};
