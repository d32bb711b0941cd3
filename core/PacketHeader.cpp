#include "PacketHeader.h"

PacketHeader PacketHeader::Make(uint32_t magic, uint8_t type, bool keyFrame,
                                uint32_t payloadLength, uint16_t value1, uint16_t value2) {
    PacketHeader h;
    h.SetMagic(magic);
    h.SetType(type, keyFrame);
    h.SetPayloadLength(payloadLength);
    h.SetValue1(value1);
    h.SetValue2(value2);
    return h;
}

static uint32_t ReadLe32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

uint32_t PacketHeader::Word0() const { return ReadLe32(bytes); }
uint32_t PacketHeader::Word1() const { return ReadLe32(bytes + 4); }

void PacketHeader::SetMagic(uint32_t magic) {
    bytes[1] = uint8_t(magic);
    bytes[2] = uint8_t(magic >> 8);
    bytes[3] = uint8_t(magic >> 16);
}

void PacketHeader::SetType(uint8_t type, bool keyFrame) {
    bytes[4] = uint8_t((type & 0x7F) | (keyFrame ? kKeyFrameBit : 0));
}

void PacketHeader::SetPayloadLength(uint32_t length) {
    bytes[5] = uint8_t(length);
    bytes[6] = uint8_t(length >> 8);
    bytes[7] = uint8_t(length >> 16);
}

void PacketHeader::SetValue1(uint16_t v) {
    bytes[8] = uint8_t(v);
    bytes[9] = uint8_t(v >> 8);
}

void PacketHeader::SetValue2(uint16_t v) {
    bytes[10] = uint8_t(v);
    bytes[11] = uint8_t(v >> 8);
}
