// The 12-byte little-endian header in front of every packet on the stream
// connection, in both directions.
#pragma once

#include <cstdint>

constexpr uint32_t kFieldUnitMagic = 0x88FF00;   // bytes 1-3: 00 FF 88
constexpr uint32_t kReturnAudioMagic = 0x0088FF; // bytes 1-3: FF 88 00
constexpr uint8_t kPacketVideo = 0x0A;
constexpr uint8_t kPacketAudio = 0x14;
constexpr uint8_t kKeyFrameBit = 0x80;
constexpr uint32_t kMaxPayloadLength = 0xFFFFFF;

struct PacketHeader {
    uint8_t bytes[12] = {};

    static PacketHeader Make(uint32_t magic, uint8_t type, bool keyFrame, uint32_t payloadLength,
                             uint16_t value1, uint16_t value2);

    uint32_t Word0() const;
    uint32_t Word1() const;
    uint32_t Magic() const { return Word0() >> 8; }
    uint8_t Type() const { return bytes[4] & 0x7F; }
    bool KeyFrame() const { return (bytes[4] & kKeyFrameBit) != 0; }
    uint32_t PayloadLength() const { return Word1() >> 8; }
    // Width for video, samples per second for audio.
    uint16_t Value1() const { return uint16_t(bytes[8] | bytes[9] << 8); }
    // Height for video, channels for audio.
    uint16_t Value2() const { return uint16_t(bytes[10] | bytes[11] << 8); }

    void SetMagic(uint32_t magic);
    void SetType(uint8_t type, bool keyFrame);
    // Lengths above 24 bits are cut to 24 bits.
    void SetPayloadLength(uint32_t length);
    void SetValue1(uint16_t v);
    void SetValue2(uint16_t v);
};

static_assert(sizeof(PacketHeader) == 12);
