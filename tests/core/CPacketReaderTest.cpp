// Packets reassembled from a byte source that delivers them in pieces.
#include "core/CPacketReader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace {

// Hands out its bytes in pieces of the given sizes, in turn; then reports the
// end of the stream (or an error).
struct PieceSource {
    std::vector<uint8_t> bytes;
    std::vector<uint32_t> pieces;
    size_t at = 0, turn = 0;
    long endResult = 0;
    long operator()(void* buffer, uint32_t length) {
        if (at == bytes.size()) return endResult;
        uint32_t piece = pieces.empty() ? length : pieces[turn++ % pieces.size()];
        uint32_t n = std::min<uint32_t>({piece, length, uint32_t(bytes.size() - at)});
        std::copy_n(bytes.begin() + long(at), n, static_cast<uint8_t*>(buffer));
        at += n;
        return long(n);
    }
};

void Append(std::vector<uint8_t>& out, const PacketHeader& h, const std::vector<uint8_t>& payload) {
    out.insert(out.end(), h.bytes, h.bytes + 12);
    out.insert(out.end(), payload.begin(), payload.end());
}

} // namespace

TEST(CPacketReader, ReassemblesPacketsWhateverThePieces) {
    std::vector<uint8_t> a(1000), b;
    for (size_t i = 0; i < a.size(); ++i) a[i] = uint8_t(i * 7);
    std::vector<uint8_t> stream;
    Append(stream, PacketHeader::Make(kFieldUnitMagic, kPacketVideo, true, 1000, 320, 240), a);
    Append(stream, PacketHeader::Make(kFieldUnitMagic, kPacketAudio, false, 0, 48000, 1), b);
    Append(stream, PacketHeader::Make(kFieldUnitMagic, 0x01, false, 3, 0, 0), {1, 2, 3});

    for (std::vector<uint32_t> pieces : {std::vector<uint32_t>{1}, {5, 7}, {12}, {13, 999}, {}}) {
        auto* source = new PieceSource{stream, pieces};
        CPacketReader reader([source](void* p, uint32_t n) { return (*source)(p, n); });
        ASSERT_TRUE(reader.Read());
        EXPECT_EQ(reader.Header().Type(), kPacketVideo);
        ASSERT_EQ(reader.PayloadLength(), 1000u);
        EXPECT_TRUE(std::equal(a.begin(), a.end(), reader.Payload()));
        ASSERT_TRUE(reader.Read());
        EXPECT_EQ(reader.Header().Value1(), 48000);
        EXPECT_EQ(reader.PayloadLength(), 0u);
        EXPECT_NE(reader.Payload(), nullptr) << "a length of 0 still yields a buffer";
        ASSERT_TRUE(reader.Read());
        EXPECT_EQ(reader.Payload()[2], 3);
        EXPECT_FALSE(reader.Read()) << "the end of the stream";
        delete source;
    }
}

TEST(CPacketReader, RejectsForeignMagicCutOffDataAndErrors) {
    std::vector<uint8_t> stream;
    Append(stream, PacketHeader::Make(kReturnAudioMagic, kPacketAudio, false, 2, 44100, 2), {9, 9});
    PieceSource foreign{stream, {}};
    CPacketReader r1([&](void* p, uint32_t n) { return foreign(p, n); });
    EXPECT_FALSE(r1.Read());

    stream.clear();
    Append(stream, PacketHeader::Make(kFieldUnitMagic, kPacketVideo, false, 100, 1, 1),
           std::vector<uint8_t>(60));
    PieceSource cut{stream, {17}};
    CPacketReader r2([&](void* p, uint32_t n) { return cut(p, n); });
    EXPECT_FALSE(r2.Read()) << "payload cut off by the end of the stream";

    PieceSource failing{stream, {5}, 0, 0, -1};
    failing.bytes.resize(8); // the header itself is cut, then an error
    CPacketReader r3([&](void* p, uint32_t n) { return failing(p, n); });
    EXPECT_FALSE(r3.Read());

    // A source that claims more than it was asked for is not believed.
    CPacketReader r4([](void*, uint32_t n) { return long(n) + 1; });
    EXPECT_FALSE(r4.Read());
}

TEST(CPacketReader, BufferGrowsToTheLargestPayloadAndIsReleased) {
    std::vector<uint8_t> stream;
    Append(stream, PacketHeader::Make(kFieldUnitMagic, kPacketVideo, false, 10, 1, 1),
           std::vector<uint8_t>(10, 1));
    Append(stream, PacketHeader::Make(kFieldUnitMagic, kPacketVideo, false, 5000, 1, 1),
           std::vector<uint8_t>(5000, 2));
    Append(stream, PacketHeader::Make(kFieldUnitMagic, kPacketVideo, false, 20, 1, 1),
           std::vector<uint8_t>(20, 3));
    PieceSource source{stream, {333}};
    CPacketReader reader([&](void* p, uint32_t n) { return source(p, n); });
    ASSERT_TRUE(reader.Read());
    ASSERT_TRUE(reader.Read());
    const uint8_t* big = reader.Payload();
    ASSERT_TRUE(reader.Read());
    EXPECT_EQ(reader.Payload(), big) << "a smaller packet reuses the grown buffer";
    EXPECT_EQ(reader.Payload()[19], 3);
    reader.Release();
    EXPECT_EQ(reader.Payload(), nullptr);
}
