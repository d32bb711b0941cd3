// One packet on its way to the studio: an H.264 access unit in Annex B form or
// one AAC frame behind its ADTS header, with the values of its PacketHeader.
#pragma once

#include <cstdint>
#include <vector>

namespace media {

struct CMediaPacket {
    uint8_t type = 0; // kPacketVideo or kPacketAudio
    bool key = false;
    // Send time on the stream's clock, in microseconds from the stream start.
    int64_t timeUs = 0;
    uint16_t value1 = 0; // width or samples per second
    uint16_t value2 = 0; // height or channels
    std::vector<uint8_t> data;
};

} // namespace media
