// The packet reader fed a byte stream cut into pieces at points the input
// chooses, checked against the same stream parsed whole: every packet it gives
// must be the next one of the stream, byte for byte, and it must stop exactly
// where the stream stops making sense.
//
// Input: a flags byte (bits 0-1: how the source ends: 0 or 3 closed, 1 an
// error, 2 a source that returns more than asked; bit 2: give the payload
// buffer back after every packet), a 16-bit count of cut bytes taken from the
// end of the input, then the stream. Each cut byte c gives a piece of c + 1
// bytes at most, 255 the whole request.
#include "FuzzInput.h"

#include "core/CPacketReader.h"

#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

struct Expected {
    const uint8_t* header;
    const uint8_t* payload;
    uint32_t length;
};

// The packets of a stream that arrives whole, up to the first that is cut
// short or is not a field unit's.
std::vector<Expected> ParseWhole(const uint8_t* p, size_t size) {
    std::vector<Expected> packets;
    size_t at = 0;
    while (size - at >= sizeof(PacketHeader)) {
        PacketHeader h;
        std::memcpy(h.bytes, p + at, sizeof h.bytes);
        if (h.Magic() != kFieldUnitMagic)
            break;
        uint32_t length = h.PayloadLength();
        if (size - at - sizeof h.bytes < length)
            break;
        packets.push_back({p + at, p + at + sizeof h.bytes, length});
        at += sizeof h.bytes + length;
    }
    return packets;
}

void Check(bool condition) {
    if (!condition)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzing::FuzzInput input(data, size);
    const uint8_t flags = input.U8();
    const int endMode = flags & 3;
    const bool release = (flags & 4) != 0;
    const size_t cutCount = std::min<size_t>(input.U16(), input.Remaining());
    size_t streamSize = input.Remaining() - cutCount;
    size_t got = 0;
    const uint8_t* stream = input.Bytes(streamSize, got);
    fuzzing::FuzzInput pieces(stream, streamSize);
    fuzzing::FuzzInput cuts(input.Bytes(cutCount, got), cutCount);

    CPacketReader reader([&](void* buffer, uint32_t length) -> long {
        Check(length > 0);
        if (pieces.Empty()) {
            if (endMode == 1)
                return -1;
            if (endMode == 2)
                return long(length) + 1;
            return 0;
        }
        size_t n = length;
        if (!cuts.Empty()) {
            uint8_t c = cuts.U8();
            if (c != 0xFF)
                n = std::min<size_t>(n, size_t(c) + 1);
        }
        return long(pieces.Read(buffer, n));
    });

    const std::vector<Expected> expected = ParseWhole(stream, streamSize);
    size_t index = 0;
    while (reader.Read()) {
        Check(index < expected.size());
        const Expected& e = expected[index++];
        Check(std::memcmp(reader.Header().bytes, e.header, sizeof(PacketHeader)) == 0);
        Check(reader.PayloadLength() == e.length);
        Check(reader.Payload() != nullptr);
        Check(e.length == 0 || std::memcmp(reader.Payload(), e.payload, e.length) == 0);
        if (release)
            reader.Release();
    }
    Check(index == expected.size());
    Check(reader.PayloadLength() == 0);
    return 0;
}
