#include "CPacketReader.h"

#include <new>

CPacketReader::CPacketReader(Receive receive) : receive(std::move(receive)) {}

bool CPacketReader::ReceiveAll(void* buffer, uint32_t length) {
    auto* p = static_cast<uint8_t*>(buffer);
    while (length > 0) {
        long got = receive(p, length);
        if (got <= 0) return false;
        if (static_cast<unsigned long>(got) > length) return false; // a source gone wrong
        p += got;
        length -= static_cast<uint32_t>(got);
    }
    return true;
}

bool CPacketReader::Read() {
    payloadLength = 0;
    if (!ReceiveAll(header.bytes, sizeof header.bytes)) return false;
    if (header.Magic() != kFieldUnitMagic) return false;
    uint32_t length = header.PayloadLength();
    if (!payload || length > payloadCapacity) {
        payload.reset();
        payloadCapacity = 0;
        // Not zero-filled: the pages of a large buffer are committed only as
        // the peer really sends data into them.
        uint32_t size = length ? length : 1;
        payload.reset(new (std::nothrow) uint8_t[size]);
        if (!payload) return false;
        payloadCapacity = size;
    }
    if (!ReceiveAll(payload.get(), length)) return false;
    payloadLength = length;
    return true;
}

void CPacketReader::Release() {
    payload.reset();
    payloadCapacity = 0;
    payloadLength = 0;
}
