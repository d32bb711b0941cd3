// The times the feed's packets are given, what is refused before it reaches a
// muxer, and how a writer's queue loses packets when it falls behind.
#include "record/CFeedQueue.h"
#include "record/CFeedStamper.h"

#include <gtest/gtest.h>

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

// One ADTS frame of AAC LC: its header and length bytes of filler.
std::vector<uint8_t> Adts(int rateIndex, int channels, int blocks, size_t length = 20) {
    const size_t size = 7 + length;
    std::vector<uint8_t> f(size, 0x21);
    f[0] = 0xFF;
    f[1] = 0xF1; // MPEG-4, no CRC
    f[2] = uint8_t(1 << 6 | rateIndex << 2 | channels >> 2);
    f[3] = uint8_t((channels & 3) << 6 | size >> 11);
    f[4] = uint8_t(size >> 3);
    f[5] = uint8_t((size & 7) << 5 | 0x1F);
    f[6] = uint8_t(0xFC | (blocks - 1));
    return f;
}

std::vector<uint8_t> Join(std::initializer_list<std::vector<uint8_t>> parts) {
    std::vector<uint8_t> all;
    for (const auto& p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

const std::vector<uint8_t> kPicture{0, 0, 0, 1, 0x65, 0x88, 0x84};

struct Feed {
    CFeedStamper stamper;
    Clock::time_point start = Clock::now();
    std::vector<CFeedPacketPtr> out;

    Feed() {
        auto connection = std::make_shared<CFeedConnection>();
        connection->peer = "127.0.0.1:5000";
        stamper.Begin(connection);
    }
    size_t Send(uint8_t type, uint16_t v1, uint16_t v2, const std::vector<uint8_t>& payload,
                double atMs, bool key = false) {
        size_t before = out.size();
        PacketHeader h = PacketHeader::Make(kFieldUnitMagic, type, key, uint32_t(payload.size()),
                                            v1, v2);
        auto at = start + std::chrono::microseconds(int64_t(atMs * 1000));
        stamper.Stamp(h, payload.data(), uint32_t(payload.size()), at, out);
        return out.size() - before;
    }
};

TEST(FeedStamperTest, PicturesTakeTheirArrivalAndSoundItsSampleCount) {
    Feed feed;
    EXPECT_EQ(feed.Send(kPacketVideo, 640, 360, kPicture, 0, true), 1u);
    // Jittered arrivals; the second packet holds two frames, one of two raw
    // blocks.
    EXPECT_EQ(feed.Send(kPacketAudio, 48000, 2, Adts(3, 2, 1), 10), 1u);
    EXPECT_EQ(feed.Send(kPacketAudio, 48000, 2, Join({Adts(3, 2, 2), Adts(3, 2, 1)}), 95), 2u);
    EXPECT_EQ(feed.Send(kPacketAudio, 48000, 2, Adts(3, 2, 1), 90), 1u);
    EXPECT_EQ(feed.Send(kPacketVideo, 640, 360, kPicture, 33), 1u);
    EXPECT_EQ(feed.Send(kPacketVideo, 640, 360, kPicture, 30), 1u); // "before" the last

    auto& out = feed.out;
    ASSERT_EQ(out.size(), 7u);
    EXPECT_EQ(out[0]->time, 0);
    EXPECT_TRUE(out[0]->key && out[0]->parameterSets == nullptr);
    const int64_t frameUs = 1024 * 1000000LL / 48000;
    EXPECT_EQ(out[1]->time, 10000);
    EXPECT_EQ(out[2]->time, 10000 + frameUs);
    EXPECT_EQ(out[3]->time, 10000 + 3 * 1024 * 1000000LL / 48000);
    EXPECT_EQ(out[2]->blocks, 2);
    EXPECT_EQ(out[4]->time, 10000 + 4 * 1024 * 1000000LL / 48000);
    EXPECT_EQ(out[5]->time, 33000);
    // Strictly increasing even when the clock says otherwise.
    EXPECT_EQ(out[6]->time, 33001);
    EXPECT_EQ(out[2]->sampleRate, 48000);
    EXPECT_EQ(out[2]->channels, 2);
    EXPECT_EQ(*out[2]->audioConfig, (std::vector<uint8_t>{0x11, 0x90}));
}

TEST(FeedStamperTest, SoundThatDriftsIsPutBackInStepWithItsArrival) {
    Feed feed;
    // 23.2 ms of sound a packet at 44100 Hz, arriving on time for 3 s and then
    // half a second late for 3 s more, as after a lost stretch.
    int64_t last = -1;
    for (int i = 0; i < 260; ++i) {
        double at = i * 1024 * 1000.0 / 44100 + (i >= 130 ? 500 : 0);
        ASSERT_EQ(feed.Send(kPacketAudio, 44100, 1, Adts(4, 1, 1), at), 1u);
        EXPECT_GT(feed.out.back()->time, last);
        last = feed.out.back()->time;
    }
    EXPECT_EQ(feed.stamper.GetCounters().audioRealigned, 1u);
    const double at = 259 * 1024 * 1000.0 / 44100 + 500;
    EXPECT_NEAR(double(feed.out.back()->time) / 1000, at, 25);

    // A sender whose clock runs fast: sound is left out until it is back in
    // step.
    Feed fast;
    for (int i = 0; i < 400; ++i)
        fast.Send(kPacketAudio, 44100, 1, Adts(4, 1, 1), i * 1024 * 1000.0 / 44100 * 0.8);
    EXPECT_GE(fast.stamper.GetCounters().audioFramesDropped, 10u);
    const double end = 399 * 1024 * 1000.0 / 44100 * 0.8;
    // Never further ahead than a window's worth of the fast clock.
    EXPECT_LT(double(fast.out.back()->time) / 1000, end + 700);
}

TEST(FeedStamperTest, WhatTheHeaderOrPayloadGetWrongIsRefused) {
    Feed feed;
    EXPECT_EQ(feed.Send(kPacketVideo, 0, 0, kPicture, 0), 0u);
    EXPECT_EQ(feed.Send(kPacketVideo, 9000, 360, kPicture, 0), 0u);
    EXPECT_EQ(feed.Send(kPacketVideo, 640, 360, {1, 2, 3, 4, 5, 6}, 0), 0u);
    EXPECT_EQ(feed.Send(kPacketVideo, 640, 360, {}, 0), 0u);
    EXPECT_EQ(feed.Send(kPacketAudio, 44100, 2, Adts(3, 2, 1), 0), 0u);   // rate differs
    EXPECT_EQ(feed.Send(kPacketAudio, 48000, 1, Adts(3, 2, 1), 0), 0u);   // channels differ
    EXPECT_EQ(feed.Send(kPacketAudio, 48000, 2, Adts(3, 0, 1), 0), 0u);   // no layout
    EXPECT_EQ(feed.Send(kPacketAudio, 12345, 2, Adts(3, 2, 1), 0), 0u);   // no such rate
    auto cut = Adts(3, 2, 1);
    cut.pop_back();
    EXPECT_EQ(feed.Send(kPacketAudio, 48000, 2, cut, 0), 0u);
    EXPECT_EQ(feed.Send(kPacketAudio, 48000, 2, Join({Adts(3, 2, 1), {0xFF}}), 0), 0u);
    EXPECT_EQ(feed.stamper.GetCounters().refusedVideo, 4u);
    EXPECT_EQ(feed.stamper.GetCounters().refusedAudio, 6u);
    // The first good packet fixes the format; a later one in another is refused.
    EXPECT_EQ(feed.Send(kPacketAudio, 48000, 2, Adts(3, 2, 1), 0), 1u);
    EXPECT_EQ(feed.Send(kPacketAudio, 44100, 2, Adts(4, 2, 1), 30), 0u);
    // Parameter sets are taken from a key frame and carried on.
    std::vector<uint8_t> key = Join({{0, 0, 0, 1, 0x67, 0x42}, {0, 0, 1, 0x68, 0xCE}, kPicture});
    EXPECT_EQ(feed.Send(kPacketVideo, 640, 360, key, 40, true), 1u);
    EXPECT_EQ(feed.Send(kPacketVideo, 640, 360, kPicture, 70), 1u);
    ASSERT_NE(feed.out.back()->parameterSets, nullptr);
    EXPECT_EQ(*feed.out.back()->parameterSets,
              (std::vector<uint8_t>{0, 0, 0, 1, 0x67, 0x42, 0, 0, 0, 1, 0x68, 0xCE}));
    // A key frame is what the picture says, whatever the header's flag.
    EXPECT_TRUE(feed.out.back()->key) << "an IDR picture sent without the flag";
    EXPECT_EQ(feed.Send(kPacketVideo, 640, 360, {0, 0, 1, 0x41, 0x9A}, 100, true), 1u);
    EXPECT_FALSE(feed.out.back()->key) << "the flag on a picture that needs others before it";
}

CFeedPacketPtr Packet(CFeedPacket::Kind kind, bool key = false, size_t size = 100) {
    auto p = std::make_shared<CFeedPacket>();
    p->kind = kind;
    p->key = key;
    p->data.resize(size);
    return p;
}

TEST(FeedQueueTest, WhatAWriterThatFallsBehindLosesIsCountedByKind) {
    // Which pictures go with one that did not fit is the key-frame queue's
    // rule, tested there; here, what is counted, and what the writer's state
    // changes.
    using Kind = CFeedPacket::Kind;
    CFeedQueue queue(1000, 3);
    queue.Push(Packet(Kind::Video, true));
    queue.Push(Packet(Kind::Audio));
    queue.Push(Packet(Kind::Video));
    queue.Push(Packet(Kind::Video, true)); // no room: a key frame goes too
    queue.Push(Packet(Kind::Audio));       // no room
    queue.Push(Packet(Kind::End));         // always fits: it carries no data
    EXPECT_TRUE(queue.Pop(0ms)->key);
    queue.Push(Packet(Kind::Video)); // room, but its group lost its key frame
    CFeedQueue::Counters c = queue.GetCounters();
    EXPECT_EQ(c.droppedPictures, 2u);
    EXPECT_EQ(c.droppedAudioFrames, 1u);
    EXPECT_EQ(c.highWater, 4u);
    std::vector<Kind> kinds;
    while (CFeedPacketPtr p = queue.Pop(0ms))
        kinds.push_back(p->kind);
    EXPECT_EQ(kinds, (std::vector<Kind>{Kind::Audio, Kind::Video, Kind::End}));

    // Nowhere to write: only the newest key frame and what follows are kept,
    // and nothing counts as dropped.
    queue.SetWriting(false);
    queue.Push(Packet(Kind::Video, true));
    queue.Push(Packet(Kind::Audio));
    queue.Push(Packet(Kind::Video, true, 200));
    queue.Push(Packet(Kind::Audio));
    EXPECT_EQ(queue.Pop(0ms)->data.size(), 200u);
    EXPECT_EQ(queue.GetCounters().skipped, 2u);
    EXPECT_EQ(queue.GetCounters().droppedPictures, 2u);
    queue.Close();
    queue.Push(Packet(Kind::Audio));
    EXPECT_EQ(queue.Pop(0ms), nullptr);
}

} // namespace
