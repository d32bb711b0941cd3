// Where decoding can start, read from H.264 as it comes from the network:
// made by hand, made by libx264, and cut or garbled (any bytes at all are the
// fuzzer's).
#include "core/NalUnits.h"
#include "tools/media/CH264Encoder.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <utility>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Join(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

// What an encoder writes for a payload: 03 after every two zeros that a byte
// of 0 to 3 follows.
Bytes Escape(const Bytes& rbsp) {
    Bytes out;
    int zeros = 0;
    for (uint8_t b : rbsp) {
        if (zeros >= 2 && b <= 3) {
            out.push_back(3);
            zeros = 0;
        }
        out.push_back(b);
        zeros = b == 0 ? zeros + 1 : 0;
    }
    return out;
}

Bytes SeiNumber(unsigned n) {
    Bytes v;
    for (; n >= 255; n -= 255)
        v.push_back(0xFF);
    v.push_back(uint8_t(n));
    return v;
}

// An SEI unit behind a four-byte start code, its messages as given.
Bytes Sei(std::initializer_list<std::pair<unsigned, Bytes>> messages) {
    Bytes rbsp;
    for (const auto& [type, payload] : messages)
        rbsp = Join({rbsp, SeiNumber(type), SeiNumber(unsigned(payload.size())), payload});
    rbsp.push_back(0x80);
    return Join({{0, 0, 0, 1, 0x06}, Escape(rbsp)});
}

// recovery_frame_cnt 0, no exact match, no broken link, then the alignment.
const Bytes kRecoveryPoint{0x84};
const Bytes kSps{0, 0, 0, 1, 0x67, 0x42, 0xC0, 0x1E};
const Bytes kPps{0, 0, 1, 0x68, 0xCE, 0x3C, 0x80};
const Bytes kIdr{0, 0, 1, 0x65, 0x88, 0x84, 0x00};
const Bytes kNonIdr{0, 0, 1, 0x41, 0x9A, 0x02};

// A user data message whose payload needs three emulation prevention bytes,
// ending in bytes that read as a message running past the unit when the
// 03s are not left out.
const Bytes kUserData{0x11, 0x22, 0, 0, 1, 0, 0, 2, 0, 0, 0, 0x44, 0x55, 0x66, 0x77,
                      0x88, 0x99, 0x20, 0x30, 0x40};

bool ChainStart(const Bytes& b) { return ReadPictureStart(b.data(), b.size()).chainStart; }
bool Picture(const Bytes& b) { return ReadPictureStart(b.data(), b.size()).picture; }

} // namespace

TEST(NalUnits, TheFirstSliceOrARecoveryPointBeforeItDecides) {
    // An IDR picture, with or without its parameter sets and access unit
    // delimiter; three- and four-byte start codes alike.
    EXPECT_TRUE(ChainStart(Join({kSps, kPps, kIdr})));
    EXPECT_TRUE(ChainStart(Join({{0, 0, 0, 1, 0x09, 0xF0}, kIdr})));
    EXPECT_TRUE(Picture(kIdr));
    EXPECT_TRUE(Picture(kNonIdr));
    EXPECT_FALSE(ChainStart(kNonIdr));
    EXPECT_FALSE(ChainStart(Join({kSps, kPps, kNonIdr})));
    // The first slice decides: an IDR slice behind it changes nothing.
    EXPECT_FALSE(ChainStart(Join({kNonIdr, kIdr})));

    // A recovery point SEI before a non-IDR slice, after messages of a
    // type and a size of more than one byte, and of one that needs
    // emulation prevention bytes.
    const Bytes recovery = Sei({{5, Bytes(300, 0x5A)}, {300, {1, 2}}, {5, kUserData},
                                {kSeiRecoveryPoint, kRecoveryPoint}});
    EXPECT_TRUE(ChainStart(Join({recovery, kNonIdr})));
    EXPECT_TRUE(HasRecoveryPoint(recovery.data() + 4, recovery.size() - 4));
    // Trailing zeros after the stop bit belong to no message.
    EXPECT_TRUE(ChainStart(Join({recovery, {0, 0}, kNonIdr})));
    // Other messages only; a recovery point after the first slice.
    EXPECT_FALSE(ChainStart(Join({Sei({{5, kUserData}, {1, {0x40}}}), kNonIdr})));
    EXPECT_FALSE(ChainStart(Join({kNonIdr, recovery})));
    // A recovery point message cut short: its size runs past the unit, or
    // it has no payload.
    Bytes cut = Sei({{kSeiRecoveryPoint, {0x84, 0x80, 0x80}}});
    cut.erase(cut.end() - 3, cut.end() - 1);
    EXPECT_FALSE(ChainStart(Join({cut, kNonIdr})));
    EXPECT_FALSE(ChainStart(Join({Sei({{kSeiRecoveryPoint, {}}}), kNonIdr})));

    // No slice: parameter sets alone are no picture; a recovery point alone
    // starts the chain of the slices that follow in the next packet.
    EXPECT_FALSE(Picture(Join({kSps, kPps})));
    EXPECT_FALSE(ChainStart(Join({kSps, kPps})));
    EXPECT_TRUE(ChainStart(recovery));
    EXPECT_FALSE(Picture(recovery));
    // A damaged unit (its forbidden bit set) is no slice.
    EXPECT_FALSE(Picture({0, 0, 1, 0xE5, 0x88}));
}

TEST(NalUnits, ReadsWhatLibx264Makes) {
    // Key frames every 5 pictures: exactly they start a chain, as the
    // encoder flags them.
    media::CH264Encoder::Settings settings;
    settings.width = 160;
    settings.height = 96;
    settings.keyInterval = 5;
    settings.slices = 2;
    media::CH264Encoder keys(settings);
    ASSERT_TRUE(keys.Ok());
    for (const media::CMediaPacket& p : keys.EncodePattern(12)) {
        PictureStart start = ReadPictureStart(p.data.data(), p.data.size());
        EXPECT_TRUE(start.picture);
        EXPECT_EQ(start.chainStart, p.key);
    }

    // Intra refresh: an IDR first, then a recovery point at each sweep,
    // never another IDR. The first picture also carries libx264's own user
    // data, longer than 255 bytes.
    settings.intraRefresh = true;
    media::CH264Encoder refresh(settings);
    ASSERT_TRUE(refresh.Ok());
    const std::vector<media::CMediaPacket> clip = refresh.EncodePattern(16);
    ASSERT_EQ(clip.size(), 16u);
    int starts = 0;
    for (size_t i = 0; i < clip.size(); ++i) {
        const Bytes& data = clip[i].data;
        PictureStart start = ReadPictureStart(data.data(), data.size());
        EXPECT_TRUE(start.picture) << "picture " << i;
        starts += start.chainStart;
        if (i > 0 && start.chainStart) {
            // A recovery point, not an IDR slice, made it one.
            size_t code = 0;
            for (size_t at = NextStartCode(data.data(), data.size(), 0, code); at < data.size();
                 at = NextStartCode(data.data(), data.size(), at + code, code))
                EXPECT_NE(data[at + code] & 0x1F, kNalIdrSlice) << "picture " << i;
        }
    }
    EXPECT_TRUE(ReadPictureStart(clip[0].data.data(), clip[0].data.size()).chainStart);
    EXPECT_GE(starts, 3) << "the first picture and a recovery point every 5";
    EXPECT_LT(starts, 16);
}

TEST(NalUnits, AnyBytesAreReadWithoutHarm) {
    EXPECT_FALSE(Picture({}));
    EXPECT_FALSE(ReadPictureStart(nullptr, 0).chainStart);
    EXPECT_FALSE(HasRecoveryPoint(nullptr, 0));
    for (const Bytes& b : {Bytes{0, 0, 1}, Bytes{0, 0, 0, 1}, Bytes{0, 0, 1, 0, 0, 1},
                           Bytes{0, 0, 0, 0, 0}, Bytes{0x65, 0x88}, Bytes{0, 0, 1, 0x06},
                           Bytes{0, 0, 1, 0x06, 0x80}, Bytes{0, 0, 1, 0x06, 0xFF, 0xFF}})
        EXPECT_FALSE(ChainStart(b));

    // Every cut of a recovery point picture: until the whole recovery point
    // message is in, nothing starts there.
    const Bytes sei = Sei({{5, kUserData}, {kSeiRecoveryPoint, kRecoveryPoint}});
    const Bytes whole = Join({sei, kNonIdr});
    for (size_t n = 0; n <= whole.size(); ++n) {
        Bytes part(whole.begin(), whole.begin() + ptrdiff_t(n));
        PictureStart start = ReadPictureStart(part.data(), part.size());
        if (n < sei.size()) {
            EXPECT_FALSE(start.chainStart) << "cut at " << n;
        } else {
            EXPECT_TRUE(start.chainStart) << "cut at " << n;
        }
    }
}
