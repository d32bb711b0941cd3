// Reads a fuzzer's input front to back as small integers and byte runs; past
// the end every read gives zeros or nothing, so any input is a valid program.
// The seed maker writes its seeds in the same layout.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace fuzzing {

class FuzzInput {
public:
    FuzzInput(const uint8_t* data, size_t size) : data(data), size(size) {}

    bool Empty() const { return at >= size; }
    size_t Remaining() const { return size - at; }

    uint8_t U8() { return at < size ? data[at++] : 0; }
    uint16_t U16() { return uint16_t(U8() | U8() << 8); }
    uint32_t U32() { return uint32_t(U16()) | uint32_t(U16()) << 16; }
    int32_t I32() { return static_cast<int32_t>(U32()); }

    // Up to count bytes from here on; fewer at the end.
    const uint8_t* Bytes(size_t count, size_t& got) {
        got = std::min(count, Remaining());
        const uint8_t* p = data + at;
        at += got;
        return p;
    }
    // Copies up to count bytes from here on to out, as a stream gives them:
    // the number copied, 0 at the end.
    size_t Read(void* out, size_t count) {
        size_t got = 0;
        const uint8_t* p = Bytes(count, got);
        if (got)
            std::memcpy(out, p, got);
        return got;
    }

private:
    const uint8_t* data;
    size_t size;
    size_t at = 0;
};

} // namespace fuzzing
