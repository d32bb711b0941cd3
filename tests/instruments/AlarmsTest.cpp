// The alarms for what nobody is watching: the policy with its clock moved by
// hand as the instruments evaluate it, ten times a second, and the picture
// meter on pictures that libx264 coded and the video channel decoded.
#include "codec/CVideoRenderer.h"
#include "instruments/CAlarmPolicy.h"
#include "levels/CPictureMeter.h"
#include "tools/media/CH264Encoder.h"
#include "tools/media/I420Picture.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

using namespace std::chrono_literals;
using Clock = CAlarmPolicy::Clock;
using Change = CAlarmPolicy::Change;

namespace {

// A connected link that plays and moves until a test says otherwise,
// evaluated every 100 ms.
struct Link {
    CAlarmPolicy policy;
    Clock::time_point now = Clock::time_point(1000s);
    CAlarmPolicy::Observation seen{true, now, now, {}, -12, true, -20};
    bool moving = true;

    // Steps for d; the changes on the way.
    std::vector<Change> Run(Clock::duration d) {
        std::vector<Change> all;
        for (const auto end = now + d; now < end;) {
            now += 100ms;
            if (moving)
                seen.pictureChanged = now;
            for (const Change& c : policy.Evaluate(seen, now))
                all.push_back(c);
        }
        return all;
    }
};

// Makes each alarm's condition hold or end; the moment it began to hold.
Clock::time_point Set(Link& l, int kind, bool on) {
    switch (kind) {
    case CAlarmPolicy::kPictureFrozen:
        l.moving = !on;
        return l.now; // the last picture that changed
    case CAlarmPolicy::kPictureBlack:
        l.seen.darkSince = on ? std::optional(l.now) : std::nullopt;
        return l.now;
    // Sound is silent from the first evaluation that reads it so.
    case CAlarmPolicy::kProgrammeSilent:
        l.seen.programmeDb = on ? -60.5f : -59.5f;
        return l.now + 100ms;
    default:
        l.seen.returnDb = on ? CLevelMeter::kFloor : -30.0f;
        return l.now + 100ms;
    }
}

} // namespace

TEST(AlarmPolicy, EachAlarmStartsAfterItsTimeEndsWithItsConditionAndIsCounted) {
    Link link;
    EXPECT_TRUE(link.Run(30s).empty()) << "a healthy link raises nothing";
    for (int kind = 0; kind < CAlarmPolicy::kKinds; ++kind) {
        SCOPED_TRACE(CAlarmPolicy::KindName(kind));
        const auto need = std::chrono::seconds(link.policy.GetThresholds().seconds[size_t(kind)]);
        for (uint64_t round = 1; round <= 2; ++round) {
            const Clock::time_point onset = Set(link, kind, true);
            EXPECT_TRUE(link.Run(onset + need - 100ms - link.now).empty());
            std::vector<Change> on = link.Run(100ms);
            ASSERT_EQ(on.size(), 1u);
            EXPECT_TRUE(on[0].kind == kind && on[0].on);
            EXPECT_EQ(link.policy.Count(kind), round);
            EXPECT_TRUE(link.Run(10s).empty()) << "an alarm starts once";

            Set(link, kind, false);
            std::vector<Change> off = link.Run(100ms);
            ASSERT_EQ(off.size(), 1u);
            EXPECT_TRUE(off[0].kind == kind && !off[0].on && !off[0].connectionEnded);
            EXPECT_NEAR(off[0].seconds, std::chrono::duration<double>(link.now - onset).count(),
                        0.15);
            EXPECT_FALSE(link.policy.AnyActive());
        }
    }
    EXPECT_EQ(link.policy.Describe({{CAlarmPolicy::kProgrammeSilent, true},
                              {CAlarmPolicy::kPictureFrozen, false, 12.4}}),
              "Programme sound silent: below -60 dBFS for 5 s. "
              "Picture moving again after 12 s frozen.");
}

TEST(AlarmPolicy, ClearsAtDisconnectAndCountsEachConnectionFromItsStart) {
    Link link;
    for (int kind = 0; kind < CAlarmPolicy::kKinds; ++kind)
        Set(link, kind, true);
    ASSERT_EQ(link.Run(6s).size(), size_t(CAlarmPolicy::kKinds));
    link.seen.connected = false;
    std::vector<Change> ended = link.Run(3s);
    ASSERT_EQ(ended.size(), size_t(CAlarmPolicy::kKinds));
    for (const Change& c : ended)
        EXPECT_TRUE(!c.on && c.connectionEnded);
    EXPECT_EQ(link.policy.Describe(ended),
              "Alarms cleared as the connection ended: picture frozen, picture black, programme "
              "sound silent, return sound silent.");

    // The next connection, still and black, counts from its start; with no
    // studio source its return is never silent.
    link.seen.connected = true;
    link.seen.since = link.now;
    link.seen.programmeDb = -12;
    link.seen.returnChosen = false;
    EXPECT_TRUE(link.Run(2s - 100ms).empty());
    EXPECT_EQ(link.Run(100ms).size(), 2u);
    EXPECT_TRUE(link.Run(10s).empty());
    link.seen.connected = false;
    EXPECT_EQ(link.policy.Describe(link.Run(100ms)),
              "Alarms cleared as the connection ended: picture frozen, picture black.");
    EXPECT_TRUE(link.Run(60s).empty()) << "nothing is evaluated while unconnected";
    EXPECT_EQ(link.policy.Count(CAlarmPolicy::kPictureBlack), 2u);

    // Thresholds as chosen: 0 s switches an alarm off, the silence level moves.
    CAlarmPolicy::Thresholds chosen;
    chosen.seconds = {0, 1, 3, 5};
    chosen.silenceDb = -40;
    link.policy.SetThresholds(chosen);
    link.seen = {true, link.now, {}, {}, -45, false, CLevelMeter::kFloor};
    EXPECT_EQ(link.policy.Describe(link.Run(10s)), "Programme sound silent: below -40 dBFS for 3 s.");
}

namespace {

// A picture of fine texture all over, the hardest for the coder to repeat.
std::vector<uint8_t> Texture(int width, int height) {
    std::vector<uint8_t> p = media::SolidPicture(width, height, {128, 128, 128});
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            p[size_t(y * width + x)] =
                uint8_t(std::clamp(int(128 + 60 * std::sin(x * 0.05) * std::cos(y * 0.03) +
                                       30 * std::sin((x * x + y * y) * 0.0003)),
                                   16, 235));
    return p;
}

} // namespace

// Through the video channel as the stream server drives it, no window needed.
TEST(PictureMeter, TellsFrozenAndBlackPicturesFromMovingOnesTheCodecsMade) {
    constexpr int kWidth = 1280, kHeight = 720, kFps = 30;
    // A key frame every two seconds, as the field unit codes, at a bit rate
    // that leaves fine texture coarse.
    media::CH264Encoder encoder;
    std::string problem;
    ASSERT_TRUE(encoder.Open(media::CH264Encoder::Live(kWidth, kHeight, kFps, 800000, 4), problem))
        << problem;
    SessionContext session;
    ClearSessionContext(session);
    session.videoWidth = kWidth;
    session.videoHeight = kHeight;
    session.pictureBlackLevel = 10;
    CVideoRenderer renderer;
    ASSERT_EQ(renderer.Open(&session), 1);
    const CPictureMeter& meter = renderer.Meter();
    int keys = 0;
    // Draws a picture; the time just before.
    auto draw = [&](const std::vector<uint8_t>& picture) {
        media::CMediaPacket packet = encoder.Encode(picture);
        EXPECT_FALSE(packet.data.empty());
        keys += packet.key ? 1 : 0;
        const Clock::time_point before = Clock::now();
        renderer.Draw(packet.data.data(), uint32_t(packet.data.size()), packet.key ? 1 : 0);
        return before;
    };

    // Moving: every picture is a change, none is black.
    for (int i = 0; i < kFps; ++i) {
        const Clock::time_point before = draw(media::PatternPicture(kWidth, kHeight, i));
        EXPECT_TRUE(meter.Read().changed >= before && !meter.Read().darkSince) << "picture " << i;
    }
    EXPECT_EQ(meter.Read().pictures, uint64_t(kFps));
    EXPECT_GT(meter.Read().level, 50.0f);

    // Frozen: the same picture, coded again and again, across key frames;
    // the hardest kind too, whose detail the coder keeps refining.
    for (const std::vector<uint8_t>& still :
         {media::PatternPicture(kWidth, kHeight, kFps), Texture(kWidth, kHeight)}) {
        const int keysBefore = keys;
        Clock::time_point settled{};
        for (int i = 0; i < 3 * kFps; ++i) {
            const Clock::time_point before = draw(still);
            // The coder's first pictures of a new scene still sharpen it.
            if (i == 4)
                settled = before;
        }
        EXPECT_GE(keys - keysBefore, 1) << "no key frame was crossed";
        EXPECT_LT(*meter.Read().changed, settled);
        EXPECT_FALSE(meter.Read().darkSince);
    }
    // Moving again.
    const Clock::time_point moved = draw(media::PatternPicture(kWidth, kHeight, 3));
    EXPECT_GE(*meter.Read().changed, moved);

    // Black, and black but for a title over 1 % of it, are black from the
    // first such picture on; a twentieth of it lit is not.
    std::vector<uint8_t> titled = media::SolidPicture(kWidth, kHeight, media::YuvFromRgb(0, 0, 0));
    for (int y = 600; y < 636; ++y)
        for (int x = 400; x < 640; ++x)
            titled[size_t(y * kWidth + x)] = 235;
    const Clock::time_point firstBlack =
        draw(media::SolidPicture(kWidth, kHeight, media::YuvFromRgb(0, 0, 0)));
    const Clock::time_point afterFirst = Clock::now();
    ASSERT_TRUE(meter.Read().darkSince);
    EXPECT_GE(*meter.Read().darkSince, firstBlack);
    EXPECT_LT(meter.Read().level, 1.0f);
    for (int i = 0; i < kFps; ++i)
        draw(titled);
    ASSERT_TRUE(meter.Read().darkSince);
    EXPECT_LT(*meter.Read().darkSince, afterFirst);
    std::vector<uint8_t> lit = titled;
    for (int y = 0; y < kHeight / 20; ++y)
        for (int x = 0; x < kWidth; ++x)
            lit[size_t(y * kWidth + x)] = 180;
    draw(lit);
    EXPECT_FALSE(meter.Read().darkSince);
    EXPECT_GT(meter.Read().level, 10.0f);

    // A black level of 0 counts nothing as black.
    session.pictureBlackLevel = 0;
    draw(media::SolidPicture(kWidth, kHeight, media::YuvFromRgb(0, 0, 0)));
    EXPECT_FALSE(meter.Read().darkSince);
}

// Levels are in percent of the range the picture signals.
TEST(PictureMeter, ReadsLevelsInTheRangeThePictureSignals) {
    std::vector<uint8_t> plane(64 * 48, 30);
    CPictureMeter meter;
    const Clock::time_point t(5s);
    meter.Feed(plane.data(), 64, 64, 48, false, true, 10.0f, t);
    EXPECT_NEAR(meter.Read().level, (30 - 16) * 100.0 / 219, 0.01);
    EXPECT_EQ(meter.Read().darkSince, t);
    meter.Feed(plane.data(), 64, 64, 48, true, false, 10.0f, t + 1s);
    EXPECT_NEAR(meter.Read().level, 30 * 100.0 / 255, 0.01);
    EXPECT_FALSE(meter.Read().darkSince);
    EXPECT_EQ(meter.Read().changed, t) << "the same picture";
    // What no decoder gives is passed over.
    meter.Feed(nullptr, 64, 64, 48, false, false, 10.0f, t + 2s);
    meter.Feed(plane.data(), 10, 64, 48, false, false, 10.0f, t + 2s);
    EXPECT_EQ(meter.Read().pictures, 2u);
}
