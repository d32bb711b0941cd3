#include "core/PacketHeader.h"

#include <gtest/gtest.h>

TEST(PacketHeader, FieldUnitHeaderHasItsBytesInWireOrder) {
    auto h = PacketHeader::Make(kFieldUnitMagic, kPacketVideo, true, 0x123456, 1920, 1080);
    const uint8_t expected[12] = {0x00, 0x00, 0xFF, 0x88, 0x8A, 0x56, 0x34, 0x12,
                                  0x80, 0x07, 0x38, 0x04};
    for (int i = 0; i < 12; ++i) EXPECT_EQ(h.bytes[i], expected[i]) << "byte " << i;
    EXPECT_EQ(h.Magic(), kFieldUnitMagic);
    EXPECT_EQ(h.Type(), kPacketVideo);
    EXPECT_TRUE(h.KeyFrame());
    EXPECT_EQ(h.PayloadLength(), 0x123456u);
    EXPECT_EQ(h.Value1(), 1920);
    EXPECT_EQ(h.Value2(), 1080);
}

TEST(PacketHeader, ReturnAudioHeaderCarriesTheReversedMagic) {
    auto h = PacketHeader::Make(kReturnAudioMagic, kPacketAudio, false, 371, 44100, 2);
    EXPECT_EQ(h.bytes[1], 0xFF);
    EXPECT_EQ(h.bytes[2], 0x88);
    EXPECT_EQ(h.bytes[3], 0x00);
    EXPECT_EQ(h.bytes[4], 0x14);
    EXPECT_EQ(h.bytes[8], 0x44);
    EXPECT_EQ(h.bytes[9], 0xAC);
    EXPECT_EQ(h.bytes[10], 0x02);
    EXPECT_EQ(h.bytes[11], 0x00);
    EXPECT_NE(h.Magic(), kFieldUnitMagic);
}

TEST(PacketHeader, ReservedByteAndKeyBitDoNotDisturbOtherFields) {
    PacketHeader h = PacketHeader::Make(kFieldUnitMagic, 0x7F, true, kMaxPayloadLength, 0xFFFF, 0);
    h.bytes[0] = 0xEE;
    EXPECT_EQ(h.Magic(), kFieldUnitMagic);
    EXPECT_EQ(h.Type(), 0x7F);
    EXPECT_TRUE(h.KeyFrame());
    EXPECT_EQ(h.PayloadLength(), kMaxPayloadLength);
    h.SetPayloadLength(0x1000005); // wider than the field: only 24 bits are kept
    EXPECT_EQ(h.PayloadLength(), 5u);
    EXPECT_EQ(h.Type(), 0x7F);
    EXPECT_EQ(h.Value1(), 0xFFFF);
}
