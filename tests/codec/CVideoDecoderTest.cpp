// The H.264 decoder fed with real libx264 streams, clean and damaged.
#include "codec/CVideoDecoder.h"
#include "support/OddSizedVideo.h"
#include "tools/media/CH264Encoder.h"
#include "tools/media/I420Picture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <random>
#include <vector>

using media::CH264Encoder;
using media::CMediaPacket;
using media::SolidPicture;
using media::Yuv;
using media::YuvFromRgb;

namespace {

constexpr uint8_t kCanary = 0xEE;
constexpr size_t kGuard = 4096;

const Yuv kPalette[] = {YuvFromRgb(255, 0, 0),   YuvFromRgb(0, 255, 0), YuvFromRgb(0, 0, 255),
                        YuvFromRgb(255, 255, 0), YuvFromRgb(0, 0, 0),   YuvFromRgb(255, 255, 255),
                        YuvFromRgb(90, 30, 160)};

bool Near(int a, int b, int tolerance = 4) {
    return std::abs(a - b) <= tolerance;
}

// Every byte of [from, to) is within tolerance of value.
::testing::AssertionResult RegionIs(const std::vector<uint8_t>& buffer, size_t from, size_t to,
                                    int value, int tolerance = 4) {
    for (size_t i = from; i < to; ++i)
        if (!Near(buffer[i], value, tolerance))
            return ::testing::AssertionFailure()
                   << "byte " << i << " is " << int(buffer[i]) << ", expected " << value;
    return ::testing::AssertionSuccess();
}

class VideoDecoderTest : public ::testing::Test {
protected:
    void TearDown() override { decoder.Close(); }

    int32_t OpenFor(int width, int height) {
        session.videoWidth = width;
        session.videoHeight = height;
        return decoder.Open(&session);
    }

    int32_t Decode(const CMediaPacket& packet, std::vector<uint8_t>& out) {
        return decoder.Decode(packet.data.data(), uint32_t(packet.data.size()), out.data());
    }

    // A buffer of size bytes followed by a guard zone, all canary.
    static std::vector<uint8_t> Guarded(size_t size) {
        return std::vector<uint8_t>(size + kGuard, kCanary);
    }

    SessionContext session;
    CVideoDecoder decoder;
};

} // namespace

TEST_F(VideoDecoderTest, EveryPacketGivesItsOwnPictureAtOnce) {
    CH264Encoder maker(320, 240);
    ASSERT_TRUE(maker.Ok());
    ASSERT_EQ(OpenFor(320, 240), 1);
    auto out = Guarded(115200);
    for (int i = 0; i < 21; ++i) {
        Yuv colour = kPalette[i % std::size(kPalette)];
        CMediaPacket packet = maker.Encode(SolidPicture(320, 240, colour));
        ASSERT_FALSE(packet.data.empty());
        EXPECT_EQ(packet.key, i == 0);
        // No picture may be held back for a later packet.
        ASSERT_EQ(Decode(packet, out), 1) << "packet " << i;
        EXPECT_TRUE(Near(out[320 * 120 + 160], colour.y)) << "packet " << i;
        EXPECT_TRUE(Near(out[76800 + 160 * 60 + 80], colour.u)) << "packet " << i;
        EXPECT_TRUE(Near(out[96000 + 160 * 60 + 80], colour.v)) << "packet " << i;
    }
}

TEST_F(VideoDecoderTest, PicturesArePackedPlaneAfterPlane) {
    CH264Encoder maker(320, 240);
    ASSERT_TRUE(maker.Ok());
    ASSERT_EQ(OpenFor(320, 240), 1);
    Yuv colour = YuvFromRgb(200, 60, 30);
    auto out = Guarded(115200);
    ASSERT_EQ(Decode(maker.Encode(SolidPicture(320, 240, colour)), out), 1);
    EXPECT_EQ(CVideoDecoder::CopySize(320, 240), 115200);
    EXPECT_TRUE(RegionIs(out, 0, 76800, colour.y)) << "Y: 320 x 240";
    EXPECT_TRUE(RegionIs(out, 76800, 96000, colour.u)) << "U: 160 x 120";
    EXPECT_TRUE(RegionIs(out, 96000, 115200, colour.v)) << "V: 160 x 120";
    EXPECT_TRUE(RegionIs(out, 115200, out.size(), kCanary, 0)) << "nothing past the picture";
}

TEST_F(VideoDecoderTest, OddSizeCopiesTruncatedChromaRows) {
    CH264Encoder maker(testing_support::OddSizedMonochrome());
    ASSERT_TRUE(maker.Ok());
    ASSERT_EQ(OpenFor(175, 99), 1);
    Yuv grey{150, 128, 128};
    auto out = Guarded(25987);
    ASSERT_EQ(Decode(maker.Encode(SolidPicture(175, 99, grey)), out), 1);
    EXPECT_EQ(decoder.PictureWidth(), 175);
    EXPECT_EQ(decoder.PictureHeight(), 99);
    EXPECT_EQ(CVideoDecoder::CopySize(175, 99), 25851);
    EXPECT_TRUE(RegionIs(out, 0, 17325, grey.y)) << "Y: 175 x 99";
    EXPECT_TRUE(RegionIs(out, 17325, 17325 + 4263, 128, 1)) << "U: 87 x 49";
    EXPECT_TRUE(RegionIs(out, 17325 + 4263, 25851, 128, 1)) << "V: 87 x 49";
    EXPECT_TRUE(RegionIs(out, 25851, out.size(), kCanary, 0)) << "the rest of the image untouched";
}

TEST_F(VideoDecoderTest, PictureOfAnotherSizeIsHeldNotCopied) {
    CH264Encoder maker(640, 480);
    ASSERT_TRUE(maker.Ok());
    ASSERT_EQ(OpenFor(320, 240), 1);
    Yuv colour = YuvFromRgb(20, 200, 120);
    auto small = Guarded(115200);
    ASSERT_EQ(Decode(maker.Encode(SolidPicture(640, 480, colour)), small), 0);
    EXPECT_TRUE(decoder.SizeDiffers());
    EXPECT_EQ(decoder.PictureWidth(), 640);
    EXPECT_EQ(decoder.PictureHeight(), 480);
    EXPECT_TRUE(RegionIs(small, 0, small.size(), kCanary, 0)) << "the small buffer is untouched";

    // The caller lays a buffer out for the new size and takes the picture.
    decoder.SetPictureSize(640, 480);
    auto large = Guarded(460800);
    ASSERT_EQ(decoder.CopyPicture(large.data()), 1);
    EXPECT_FALSE(decoder.SizeDiffers());
    EXPECT_TRUE(RegionIs(large, 0, 307200, colour.y));
    EXPECT_TRUE(RegionIs(large, 460800, large.size(), kCanary, 0));
    ASSERT_EQ(Decode(maker.Encode(SolidPicture(640, 480, colour)), large), 1);

    // Smaller than the buffer's layout is a different size as well.
    CH264Encoder smaller(160, 120);
    ASSERT_TRUE(smaller.Ok());
    ASSERT_EQ(Decode(smaller.Encode(SolidPicture(160, 120, colour)), large), 0);
    EXPECT_TRUE(decoder.SizeDiffers());
    EXPECT_EQ(decoder.PictureWidth(), 160);
}

TEST_F(VideoDecoderTest, StreamLargerThanTheBoundIsRefused) {
    // 4608 x 2304 is more pixels than any picture the channel accepts.
    CH264Encoder::Settings settings;
    settings.width = 4608;
    settings.height = 2304;
    settings.preset = "ultrafast";
    CH264Encoder maker(settings);
    ASSERT_TRUE(maker.Ok());
    ASSERT_EQ(OpenFor(320, 240), 1);
    auto out = Guarded(115200);
    CMediaPacket packet = maker.Encode(SolidPicture(4608, 2304, kPalette[0]), true);
    EXPECT_EQ(Decode(packet, out), 0);
    EXPECT_FALSE(decoder.SizeDiffers()) << "nothing held to lay a buffer out for";
    EXPECT_EQ(decoder.PictureWidth(), 0);
    EXPECT_TRUE(RegionIs(out, 0, out.size(), kCanary, 0));
}

TEST_F(VideoDecoderTest, RejectedPacketIsDroppedAndTheNextDecodes) {
    CH264Encoder maker(320, 240);
    ASSERT_TRUE(maker.Ok());
    ASSERT_EQ(OpenFor(320, 240), 1);
    auto out = Guarded(115200);
    ASSERT_EQ(Decode(maker.Encode(SolidPicture(320, 240, kPalette[0])), out), 1);

    std::vector<uint8_t> noise(5000);
    std::mt19937 random(7);
    for (auto& b : noise)
        b = uint8_t(random());
    EXPECT_EQ(decoder.Decode(noise.data(), uint32_t(noise.size()), out.data()), 0);
    EXPECT_EQ(decoder.gotPicture, 0);

    ASSERT_EQ(Decode(maker.Encode(SolidPicture(320, 240, kPalette[1])), out), 1);
    EXPECT_TRUE(Near(out[320 * 120 + 160], kPalette[1].y));
}

TEST_F(VideoDecoderTest, EmptyPacketsDoNotEndTheStream) {
    CH264Encoder maker(320, 240);
    ASSERT_TRUE(maker.Ok());
    ASSERT_EQ(OpenFor(320, 240), 1);
    auto out = Guarded(115200);
    ASSERT_EQ(Decode(maker.Encode(SolidPicture(320, 240, kPalette[2])), out), 1);
    uint8_t byte = 0;
    EXPECT_EQ(decoder.Decode(&byte, 0, out.data()), 0);
    EXPECT_EQ(decoder.Decode(nullptr, 100, out.data()), 0);
    ASSERT_EQ(Decode(maker.Encode(SolidPicture(320, 240, kPalette[3])), out), 1);
    EXPECT_TRUE(Near(out[0], kPalette[3].y));
}

TEST_F(VideoDecoderTest, FreshDecoderWaitsForParameterSetsAndAKeyFrame) {
    CH264Encoder maker(320, 240);
    ASSERT_TRUE(maker.Ok());
    std::vector<CMediaPacket> clip;
    for (int i = 0; i < 6; ++i)
        clip.push_back(maker.Encode(SolidPicture(320, 240, kPalette[i]), i == 4));
    ASSERT_TRUE(clip[0].key && !clip[1].key && clip[4].key);

    // Joining the stream after its start, as a reopened channel does.
    ASSERT_EQ(OpenFor(320, 240), 1);
    auto out = Guarded(115200);
    for (int i = 1; i < 4; ++i)
        EXPECT_EQ(Decode(clip[i], out), 0) << "packet " << i;
    EXPECT_EQ(Decode(clip[4], out), 1);
    EXPECT_TRUE(Near(out[1000], kPalette[4].y));
    EXPECT_EQ(Decode(clip[5], out), 1);
    EXPECT_TRUE(RegionIs(out, 115200, out.size(), kCanary, 0));
}

TEST_F(VideoDecoderTest, DamagedStreamsNeverCrashNorOverrun) {
    CH264Encoder maker(320, 240);
    ASSERT_TRUE(maker.Ok());
    auto clip = maker.EncodePattern(30);
    ASSERT_EQ(OpenFor(320, 240), 1);
    auto out = Guarded(115200);
    std::mt19937 random(20240611);
    auto check = [&](const std::vector<uint8_t>& bytes) {
        decoder.Decode(bytes.data(), uint32_t(bytes.size()), out.data());
        ASSERT_TRUE(RegionIs(out, 115200, out.size(), kCanary, 0));
    };

    for (int round = 0; round < 10; ++round) {
        for (size_t i = 0; i < clip.size(); ++i) {
            std::vector<uint8_t> bytes = clip[i].data;
            switch ((i + round) % 5) {
            case 0: // cut short
                bytes.resize(random() % bytes.size());
                break;
            case 1: // flipped bits, parameter sets included
                for (size_t n = 0; n < 1 + bytes.size() / 50; ++n)
                    bytes[random() % bytes.size()] ^= uint8_t(1u << (random() % 8));
                break;
            case 2: // a start code and noise
                bytes.assign(2000 + random() % 60000, 0);
                for (size_t n = 4; n < bytes.size(); ++n)
                    bytes[n] = uint8_t(random());
                bytes[2] = 1;
                bytes[3] = uint8_t(random());
                break;
            case 3: // start codes only
                bytes.clear();
                for (int n = 0; n < 3000; ++n)
                    bytes.insert(bytes.end(), {0, 0, 1});
                break;
            default: // intact
                break;
            }
            check(bytes);
        }
    }
    // A new key frame with its parameter sets brings clean pictures back.
    Yuv colour = kPalette[5];
    ASSERT_EQ(Decode(maker.Encode(SolidPicture(320, 240, colour), true), out), 1);
    EXPECT_TRUE(RegionIs(out, 0, 76800, colour.y));
}

TEST_F(VideoDecoderTest, CloseReleasesOnlyWhatIsHeld) {
    auto out = Guarded(115200);
    uint8_t bytes[] = {0, 0, 0, 1, 0x65, 0x88};
    EXPECT_EQ(decoder.Decode(bytes, sizeof bytes, out.data()), 0) << "never opened";
    decoder.Close();
    decoder.Close();

    ASSERT_EQ(OpenFor(320, 240), 1);
    EXPECT_NE(decoder.codec, nullptr);
    EXPECT_NE(decoder.context, nullptr);
    EXPECT_NE(decoder.picture, nullptr);
    decoder.Close();
    EXPECT_EQ(decoder.context, nullptr);
    EXPECT_EQ(decoder.picture, nullptr);
    EXPECT_NE(decoder.codec, nullptr) << "the codec descriptor stays";
    decoder.Close();
    EXPECT_EQ(decoder.Decode(bytes, sizeof bytes, out.data()), 0) << "closed";

    // Opening again gives a working decoder.
    CH264Encoder maker(320, 240);
    ASSERT_TRUE(maker.Ok());
    ASSERT_EQ(OpenFor(320, 240), 1);
    EXPECT_EQ(Decode(maker.Encode(SolidPicture(320, 240, kPalette[0])), out), 1);
}

TEST_F(VideoDecoderTest, LentPicturesStayAsTheyWereWhileHeldEvenAfterTheDecoderHasGone) {
    CH264Encoder maker(320, 240);
    ASSERT_TRUE(maker.Ok());
    auto own = std::make_unique<CVideoDecoder>();
    session.videoWidth = 320;
    session.videoHeight = 240;
    ASSERT_EQ(own->Open(&session), 1);
    auto decodeAndLend = [&](const Yuv& colour) {
        CMediaPacket packet = maker.Encode(SolidPicture(320, 240, colour));
        EXPECT_EQ(own->Decode(packet.data.data(), uint32_t(packet.data.size()), nullptr), 1);
        return own->Lend();
    };
    // Each held by two, as the renderer and a window hold them; the first
    // lets go at once.
    std::vector<platform::PicturePlanes> held;
    for (int i = 0; i < 3; ++i) {
        platform::PicturePlanes planes = decodeAndLend(kPalette[i]);
        ASSERT_NE(planes.hold, nullptr);
        EXPECT_EQ(own->PictureWidth(), 0) << "the decoder holds it no longer";
        planes.hold->Take();
        planes.hold->Release();
        held.push_back(planes);
    }
    // Let go of one: its frame is lent again, the others are untouched.
    held[1].hold->Release();
    platform::PicturePlanes again = decodeAndLend(kPalette[3]);
    own->Close();
    own.reset();
    for (int i : {0, 2})
        for (int plane = 0; plane < 3; ++plane) {
            const uint8_t want[3] = {kPalette[i].y, kPalette[i].u, kPalette[i].v};
            EXPECT_TRUE(Near(held[i].data[plane][held[i].stride[plane] * 10 + 20], want[plane]))
                << "picture " << i << ", plane " << plane;
        }
    EXPECT_TRUE(Near(again.data[0][0], kPalette[3].y));
    for (platform::PicturePlanes* p : {&held[0], &held[2], &again})
        p->hold->Release();
}
