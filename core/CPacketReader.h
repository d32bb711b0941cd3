// Reads packets of the stream connection, header and payload, from a byte
// source that may deliver them in pieces of any size. The payload buffer is
// reused from packet to packet and grows only to the largest payload seen.
#pragma once

#include "PacketHeader.h"

#include <cstdint>
#include <functional>
#include <memory>

class CPacketReader {
public:
    // Receives up to length bytes into buffer: the number received, 0 when the
    // source has ended, negative on error.
    using Receive = std::function<long(void* buffer, uint32_t length)>;

    explicit CPacketReader(Receive receive);
    virtual ~CPacketReader() = default;

    // Reads one whole packet. False when the source ended or failed, the
    // header is not a field unit's, or the payload buffer is not available.
    bool Read();
    const PacketHeader& Header() const { return header; }
    const uint8_t* Payload() const { return payload.get(); }
    uint32_t PayloadLength() const { return payloadLength; }
    // Gives the payload buffer back; the next Read allocates again.
    void Release();

private:
    bool ReceiveAll(void* buffer, uint32_t length);

    Receive receive;
    PacketHeader header;
    uint32_t payloadLength = 0;
    std::unique_ptr<uint8_t[]> payload;
    uint32_t payloadCapacity = 0;
};
