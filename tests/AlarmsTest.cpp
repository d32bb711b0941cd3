// The alarms for what nobody is watching: the policy with its clock moved by
// hand as the instruments evaluate it, ten times a second, and the picture
// meter on pictures that libx264 coded and the video channel decoded.
#include "codec/CVideoRenderer.h"
#include "instruments/CAlarmPolicy.h"
#include "instruments/CPictureMeter.h"
#include "tools/media/CH264Encoder.h"
#include "tools/media/I420Picture.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <vector>

using namespace std::chrono_literals;
using Clock = CAlarmPolicy::Clock;
using Change = CAlarmPolicy::Change;

namespace {

// A connected link that plays and moves until a test says otherwise.
struct Link {
    CAlarmPolicy policy;
    Clock::time_point now = Clock::time_point(1000s);
    CAlarmPolicy::Observation seen;
    bool moving = true;

    Link() {
        seen.connected = true;
        seen.since = now;
        seen.pictureChanged = now;
        seen.programmeDb = -12;
        seen.returnChosen = true;
        seen.returnDb = -20;
    }

    std::vector<Change> Step() {
        now += 100ms;
        if (moving)
            seen.pictureChanged = now;
        return policy.Evaluate(seen, now);
    }
    // Steps for d; the changes on the way.
    std::vector<Change> Run(Clock::duration d) {
        std::vector<Change> all;
        for (const auto end = now + d; now < end;)
            for (const Change& c : Step())
                all.push_back(c);
        return all;
    }
    // Steps until something changes, for an hour at most.
    std::vector<Change> RunUntilChange() {
        for (int i = 0; i < 36000; ++i)
            if (std::vector<Change> c = Step(); !c.empty())
                return c;
        return {};
    }
};

struct Condition {
    CAlarmPolicy::Kind kind;
    // Makes the condition hold from the time it returns; and ends it.
    std::function<Clock::time_point(Link&)> begin;
    std::function<void(Link&)> end;
};

const std::vector<Condition> kConditions = {
    {CAlarmPolicy::kPictureFrozen,
     [](Link& l) {
         l.moving = false;
         return l.now; // the last picture that changed
     },
     [](Link& l) { l.moving = true; }},
    {CAlarmPolicy::kPictureBlack,
     [](Link& l) {
         l.seen.darkSince = l.now;
         return l.now;
     },
     [](Link& l) { l.seen.darkSince.reset(); }},
    // Sound counts as silent from the first evaluation that reads it so.
    {CAlarmPolicy::kProgrammeSilent,
     [](Link& l) {
         l.seen.programmeDb = -60.5f;
         return l.now + 100ms;
     },
     [](Link& l) { l.seen.programmeDb = -59.5f; }},
    {CAlarmPolicy::kReturnSilent,
     [](Link& l) {
         l.seen.returnDb = CLevelMeter::kFloor;
         return l.now + 100ms;
     },
     [](Link& l) { l.seen.returnDb = -30; }},
};

} // namespace

TEST(AlarmPolicy, EachAlarmStartsAfterItsTimeEndsWithItsConditionAndIsCounted) {
    Link link;
    EXPECT_TRUE(link.Run(30s).empty()) << "a healthy link raises nothing";
    for (const Condition& condition : kConditions) {
        SCOPED_TRACE(CAlarmPolicy::KindName(condition.kind));
        const auto need = std::chrono::seconds(link.policy.GetThresholds().seconds[condition.kind]);
        for (uint64_t round = 1; round <= 2; ++round) {
            const Clock::time_point onset = condition.begin(link);
            std::vector<Change> on = link.RunUntilChange();
            ASSERT_EQ(on.size(), 1u);
            EXPECT_EQ(on[0].kind, condition.kind);
            EXPECT_TRUE(on[0].on);
            EXPECT_EQ(link.now - onset, need);
            EXPECT_TRUE(link.policy.Active(condition.kind));
            EXPECT_EQ(link.policy.Count(condition.kind), round);
            EXPECT_TRUE(link.Run(10s).empty()) << "an alarm starts once";

            condition.end(link);
            std::vector<Change> off = link.Run(100ms);
            ASSERT_EQ(off.size(), 1u);
            EXPECT_EQ(off[0].kind, condition.kind);
            EXPECT_FALSE(off[0].on);
            EXPECT_FALSE(off[0].connectionEnded);
            EXPECT_NEAR(off[0].seconds, std::chrono::duration<double>(link.now - onset).count(),
                        0.15);
            EXPECT_FALSE(link.policy.AnyActive());
            EXPECT_TRUE(link.Run(20s).empty());
        }
    }
    // The texts say what happened in the operator's words.
    link.policy.SetThresholds({});
    EXPECT_EQ(link.policy.Describe({{CAlarmPolicy::kProgrammeSilent, true},
                                    {CAlarmPolicy::kPictureFrozen, false, 12.4}}),
              "Programme sound silent: below -60 dBFS for 5 s. "
              "Picture moving again after 12 s frozen.");
}

TEST(AlarmPolicy, ClearsAtDisconnectAndCountsEachConnectionFromItsStart) {
    Link link;
    for (const Condition& condition : kConditions)
        condition.begin(link);
    std::vector<Change> on = link.Run(6s);
    ASSERT_EQ(on.size(), size_t(CAlarmPolicy::kKinds));
    EXPECT_EQ(link.policy.Describe(on).find("Picture frozen: no new picture from the field unit "
                                            "for 2 s. Picture black:"),
              0u)
        << link.policy.Describe(on);

    // Each ends, and says why.
    link.seen.connected = false;
    std::vector<Change> ended = link.Run(3s);
    ASSERT_EQ(ended.size(), size_t(CAlarmPolicy::kKinds));
    for (const Change& c : ended)
        EXPECT_TRUE(!c.on && c.connectionEnded);
    EXPECT_EQ(link.policy.Describe(ended),
              "Alarms cleared as the connection ended: picture frozen, picture black, programme "
              "sound silent, return sound silent.");

    // The next connection, still black and still, counts from its start;
    // without a studio source its return is never silent.
    link.seen.connected = true;
    link.seen.since = link.now;
    link.seen.programmeDb = -12;
    link.seen.returnChosen = false;
    EXPECT_TRUE(link.Run(2s - 100ms).empty());
    std::vector<Change> again = link.Run(100ms);
    ASSERT_EQ(again.size(), 2u);
    EXPECT_EQ(again[0].kind, CAlarmPolicy::kPictureFrozen);
    EXPECT_EQ(again[1].kind, CAlarmPolicy::kPictureBlack);
    EXPECT_EQ(link.policy.Count(CAlarmPolicy::kPictureBlack), 2u);
    EXPECT_TRUE(link.Run(10s).empty());
    // Only what was on ends.
    link.seen.connected = false;
    std::vector<Change> cleared = link.Run(100ms);
    ASSERT_EQ(cleared.size(), 2u);
    EXPECT_EQ(link.policy.Describe(cleared),
              "Alarms cleared as the connection ended: picture frozen, picture black.");
    EXPECT_FALSE(link.policy.AnyActive());
    EXPECT_TRUE(link.Run(60s).empty()) << "nothing is evaluated while unconnected";
    EXPECT_EQ(link.policy.Count(CAlarmPolicy::kProgrammeSilent), 1u);
    EXPECT_EQ(link.policy.Count(CAlarmPolicy::kReturnSilent), 1u);

    // Thresholds as chosen: 0 s switches an alarm off, and the levels move.
    CAlarmPolicy::Thresholds chosen;
    chosen.seconds = {0, 1, 3, 5};
    chosen.silenceDb = -40;
    link.policy.SetThresholds(chosen);
    link.seen = {};
    link.seen.connected = true;
    link.seen.since = link.now;
    link.moving = false;
    link.seen.programmeDb = -45;
    std::vector<Change> chosenOn = link.Run(10s);
    ASSERT_EQ(chosenOn.size(), 1u);
    EXPECT_EQ(chosenOn[0].kind, CAlarmPolicy::kProgrammeSilent);
    EXPECT_EQ(link.policy.Describe(chosenOn), "Programme sound silent: below -40 dBFS for 3 s.");
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
        ASSERT_TRUE(meter.Read().changed);
        EXPECT_GE(*meter.Read().changed, before) << "picture " << i;
        EXPECT_FALSE(meter.Read().darkSince);
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
