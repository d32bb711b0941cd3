#include "CBuffer.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>

CBuffer::~CBuffer() {
    std::free(data);
}

int32_t CBuffer::Append(const uint8_t* bytes, uint32_t count) {
    if (count == 0)
        return 1;
    if (!bytes || count > std::numeric_limits<uint32_t>::max() - length)
        return 0;
    uint32_t needed = length + count;
    if (needed > capacity) {
        // Twice what is needed, within the 32-bit length.
        uint64_t grown =
            std::min<uint64_t>(uint64_t(needed) * 2, std::numeric_limits<uint32_t>::max());
        void* block = std::realloc(data, static_cast<size_t>(grown));
        if (!block) {
            grown = needed;
            block = std::realloc(data, needed);
        }
        if (!block)
            return 0;
        data = static_cast<uint8_t*>(block);
        capacity = static_cast<uint32_t>(grown);
    }
    std::memcpy(data + length, bytes, count);
    length = needed;
    return 1;
}

int32_t CBuffer::Take(uint8_t* destination, uint32_t count) {
    if (count > length)
        return 0;
    if (count == 0)
        return 1;
    if (!destination)
        return 0;
    std::memcpy(destination, data, count);
    length -= count;
    if (length > 0)
        std::memmove(data, data + count, length);
    return 1;
}
