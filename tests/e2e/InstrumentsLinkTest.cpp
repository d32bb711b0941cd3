// The operator's instruments as a monitoring system and the operator meet
// them: the lumenfeed program with its metrics endpoint switched on in its
// stored choices, the field unit's test pattern and tone coming in, a tone
// played into the studio's microphone going back, /metrics scraped, the
// statistics shown with F2 and read from the screen.
#include "CStudioProgram.h"
#include "CTempDir.h"
#include "MediaFiles.h"
#include "PictureChecks.h"
#include "support/HttpExchange.h"
#include "support/TestClient.h"
#include "tools/media/CChildProcess.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <thread>

using namespace std::chrono_literals;
using testing_support::HttpExchange;
using testing_support::HttpGet;
using testing_support::MetricValue;

namespace {

std::string Series(const char* name, const char* labels = nullptr) {
    return labels ? std::string(name) + "{" + labels + "}" : std::string(name);
}

// Scrapes until test holds for an answer or the time is up; the last answer.
bool ScrapeUntil(uint16_t port, const std::function<bool(const std::string&)>& test,
                 std::chrono::seconds timeout, std::string& last) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        testing_support::HttpAnswer answer = HttpGet(port);
        last = answer.body;
        if (answer.status == 200 && test(last))
            return true;
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(200ms);
    }
}

double Value(const std::string& text, const std::string& series) {
    return MetricValue(text, series).value_or(NAN);
}

bool Near(const std::string& text, const std::string& series, double want, double tolerance) {
    return std::abs(Value(text, series) - want) <= tolerance;
}

// Starts lumenfeed with Studio_Mic as its studio source, its metrics served
// on port metrics, and the further stored choices in more.
testing::AssertionResult StartStudio(CStudioProgram& studio, const CTempDir& dir,
                                     uint16_t metrics, const std::string& more = {}) {
    if (!dir.Ok())
        return testing::AssertionFailure() << "no directory";
    CStudioProgram::Choices choices;
    choices.audioSource = CStudioProgram::AudioSourcePosition(u"Studio_Mic");
    if (choices.audioSource <= 0)
        return testing::AssertionFailure() << "the capture device Studio_Mic is not listed";
    choices.more = "MetricsPort=" + std::to_string(metrics) + "\n" + more;
    std::string problem;
    if (!studio.Start(media::ProgramPath("lumenfeed", LUMENFEED_PATH), dir.Path(), choices,
                      problem))
        return testing::AssertionFailure() << problem;
    return testing::AssertionSuccess();
}

} // namespace

TEST(InstrumentsLink, MetricsFollowTheLinkAndTheMetersItsSound) {
    CTempDir dir;
    const uint16_t port = testing_support::FreePortUpTo(32000);
    const uint16_t metrics = testing_support::FreePort();
    CStudioProgram studio;
    ASSERT_TRUE(StartStudio(studio, dir, metrics));
    std::string text;
    ASSERT_TRUE(ScrapeUntil(
        metrics, [](const std::string& t) { return MetricValue(t, "lumenfeed_connected") == 0.0; },
        10s, text))
        << "no metrics before Start:\n"
        << text << studio.Output();
    EXPECT_EQ(MetricValue(text, "lumenfeed_connections_total"), 0.0);
    ASSERT_TRUE(studio.SelectLoopbackHost() && studio.SetPort(port) && studio.PressStart());

    // The studio's microphone hears a 600 Hz tone at 0.3 of full scale
    // (-10.5 dBFS); the test pattern's tone is 1 kHz at a quarter (-12.0).
    const std::string studioTone = dir.File("studio-tone.raw");
    ASSERT_TRUE(mediafiles::WriteRawTone(studioTone, 48000, 600.0, 0.3, 30.0));
    media::CChildProcess microphone;
    ASSERT_TRUE(microphone.Start({"pacat", "--playback", "--device=studio_mic_feed", "--raw",
                                  "--format=s16le", "--channels=2", "--rate=48000", studioTone}));
    media::CChildProcess field;
    ASSERT_TRUE(field.Start({media::ProgramPath("fieldunit", FIELDUNIT_PATH),
                             "127.0.0.1:" + std::to_string(port), "--duration", "8"},
                            {}, dir.File("fieldunit.log")));

    const double programme = 20 * std::log10(0.25), microphoneLevel = 20 * std::log10(0.3);
    auto levels = [&](const std::string& t) {
        bool all = MetricValue(t, "lumenfeed_connected") == 1.0;
        for (const char* channel : {"0", "1"}) {
            const std::string c = std::string("channel=\"") + channel + "\",";
            all =
                all &&
                Near(t,
                     Series("lumenfeed_audio_level_dbfs", (c + "direction=\"programme\"").c_str()),
                     programme, 1.0) &&
                Near(t, Series("lumenfeed_audio_level_dbfs", (c + "direction=\"return\"").c_str()),
                     microphoneLevel, 1.0) &&
                Near(t,
                     Series("lumenfeed_audio_loudness_lufs",
                            (c + "direction=\"programme\"").c_str()),
                     programme, 1.0);
        }
        return all;
    };
    EXPECT_TRUE(ScrapeUntil(metrics, levels, 20s, text))
        << "the meters do not read the two tones:\n"
        << text << field.Output();

    // A request that is not a scrape is refused, and the link goes on.
    EXPECT_EQ(HttpExchange(metrics, "BREW /coffee HTCPCP/1.0\r\n\r\n").status / 100, 4);
    const double received = Value(text, "lumenfeed_video_frames_total{stage=\"received\"}");
    EXPECT_TRUE(ScrapeUntil(
        metrics,
        [&](const std::string& t) {
            return Value(t, "lumenfeed_video_frames_total{stage=\"received\"}") > received + 10;
        },
        10s, text))
        << text;

    // F2 lays the statistics over the picture's top right.
    const QRect box(CStudioProgram::kVideo.right() - 140, CStudioProgram::kVideo.top() + 8, 60, 60);
    QImage before = studio.Grab();
    ASSERT_FALSE(before.isNull());
    ASSERT_EQ(media::RunCommand({"xdotool", "key", "F2"}), 0);
    QImage after;
    EXPECT_TRUE(studio.WaitForWindow(
        [&](const QImage& w) {
            after = w;
            return picture::Average(w, box).value() + 40 < picture::Average(before, box).value();
        },
        5s))
        << "no dark box over the picture: " << picture::Describe(picture::Average(after, box))
        << " where it was " << picture::Describe(picture::Average(before, box));
    std::error_code ignored;
    std::filesystem::create_directories(LUMEN_E2E_ARTIFACTS, ignored);
    after.save(QString(LUMEN_E2E_ARTIFACTS) + "/e2e-instruments.png");

    EXPECT_EQ(field.Wait(40s), 0) << field.Output();
    EXPECT_TRUE(ScrapeUntil(
        metrics, [](const std::string& t) { return MetricValue(t, "lumenfeed_connected") == 0.0; },
        10s, text))
        << text;
    microphone.Stop();
    EXPECT_EQ(MetricValue(text, "lumenfeed_connections_total"), 1.0);
    const double decoded = Value(text, "lumenfeed_video_frames_total{stage=\"decoded\"}");
    EXPECT_GT(decoded, 150) << "8 s at 25 pictures or more a second";
    EXPECT_GE(Value(text, "lumenfeed_video_frames_total{stage=\"received\"}"), decoded);
    // A busy display drops pictures, but never draws more than it was given.
    const double drawn = Value(text, "lumenfeed_video_frames_total{stage=\"drawn\"}");
    EXPECT_GT(drawn, 0);
    EXPECT_LE(drawn, decoded);
    EXPECT_GT(Value(text, "lumenfeed_received_bytes_total{stream=\"video\"}"), 100000);
    EXPECT_GT(Value(text, "lumenfeed_received_bytes_total{stream=\"audio\"}"), 10000);
    EXPECT_GT(Value(text, "lumenfeed_return_packets_total{result=\"sent\"}"), 50);
    EXPECT_GE(Value(text, "lumenfeed_picture_latency_seconds_count"), decoded);
    EXPECT_EQ(MetricValue(text, "lumenfeed_packets_refused_total{reason=\"bad_header\"}"), 0.0);
    // Silence once the link is down.
    EXPECT_EQ(MetricValue(text, "lumenfeed_audio_level_dbfs{channel=\"0\",direction=\"return\"}"),
              -120.0);

    const int code = studio.Stop();
    EXPECT_NE(code, 128 + SIGKILL) << "lumenfeed did not end on SIGTERM\n" << studio.Output();
}

namespace {

// Pixels of area in the red of the error line and of an alarm in the statistics.
int RedPixels(const QImage& image, const QRect& area) {
    int count = 0;
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x) {
            const QColor c = image.pixelColor(x, y);
            count += c.red() > 150 && c.green() < 110 && c.blue() < 110 ? 1 : 0;
        }
    return count;
}

const char* const kAlarms[] = {"picture_frozen", "picture_black", "programme_silent",
                               "return_silent"};

std::string Started(const char* kind) {
    return std::string("lumenfeed_alarms_total{kind=\"") + kind + "\"}";
}

// Whether the link is up and each alarm on, in the order of kAlarms.
bool AlarmsAre(const std::string& text, bool connected, std::array<bool, 4> on) {
    bool all = MetricValue(text, "lumenfeed_connected") == (connected ? 1.0 : 0.0);
    for (size_t k = 0; k < on.size(); ++k)
        all = all && MetricValue(text, std::string("lumenfeed_alarm{kind=\"") + kAlarms[k] +
                                           "\"}") == (on[k] ? 1.0 : 0.0);
    return all;
}

} // namespace

// The field unit's faults make each alarm come on and clear: the picture
// frozen, then black; the programme silent meanwhile; the studio microphone
// silent throughout, until the link ends. Thresholds as stored, shorter
// than the defaults but for the black picture's.
TEST(InstrumentsLink, AlarmsComeOnForTheFaultsAndClear) {
    CTempDir dir;
    const uint16_t port = testing_support::FreePortUpTo(32000);
    const uint16_t metrics = testing_support::FreePort();
    CStudioProgram studio;
    ASSERT_TRUE(StartStudio(studio, dir, metrics,
                            "PictureFrozenSeconds=1\nProgrammeSilentSeconds=2\n"
                            "ReturnSilentSeconds=2\n"));
    ASSERT_TRUE(studio.SelectLoopbackHost() && studio.SetPort(port) && studio.PressStart());

    // Moving with its tone for 2 s, then frozen and silent, black from 4 s,
    // the pattern and tone again from 12 s until the end at 16 s.
    media::CChildProcess field;
    ASSERT_TRUE(field.Start({media::ProgramPath("fieldunit", FIELDUNIT_PATH),
                             "127.0.0.1:" + std::to_string(port), "--size", "640x360",
                             "--freeze-after", "2", "--mute-after", "2", "--black-after", "4",
                             "--resume-after", "12", "--duration", "16"},
                            {}, dir.File("fieldunit.log")));

    std::string text;
    const QRect errorLine(0, 400, 616, 15);
    EXPECT_TRUE(ScrapeUntil(
        metrics, [](const std::string& t) { return AlarmsAre(t, true, {1, 1, 1, 1}); }, 30s, text))
        << "the alarms did not come on:\n"
        << text << field.Output();
    // The error line says so, and F2 shows them in red over the black picture.
    EXPECT_TRUE(
        studio.WaitForWindow([&](const QImage& w) { return RedPixels(w, errorLine) > 20; }, 5s))
        << "no text on the error line";
    const QRect top(CStudioProgram::kVideo.left(), CStudioProgram::kVideo.top(),
                    CStudioProgram::kVideo.width(), 60);
    EXPECT_EQ(RedPixels(studio.Grab(), top), 0);
    ASSERT_EQ(media::RunCommand({"xdotool", "key", "F2"}), 0);
    QImage shown;
    EXPECT_TRUE(studio.WaitForWindow(
        [&](const QImage& w) {
            shown = w;
            return RedPixels(w, top) > 20;
        },
        5s))
        << "no alarm in the statistics";
    std::error_code ignored;
    std::filesystem::create_directories(LUMEN_E2E_ARTIFACTS, ignored);
    shown.save(QString(LUMEN_E2E_ARTIFACTS) + "/e2e-alarms.png");

    // The pattern back: the picture's and the programme's alarms clear while
    // the link is up; the silent microphone's stays on.
    EXPECT_TRUE(ScrapeUntil(
        metrics, [](const std::string& t) { return AlarmsAre(t, true, {0, 0, 0, 1}); }, 20s, text))
        << "the alarms did not clear:\n"
        << text << field.Output();

    // The link's end clears the last one.
    EXPECT_EQ(field.Wait(40s), 0) << field.Output();
    EXPECT_TRUE(ScrapeUntil(
        metrics, [](const std::string& t) { return AlarmsAre(t, false, {0, 0, 0, 0}); }, 10s, text))
        << text;
    // Frozen twice: the black pictures changed it, and were still themselves.
    EXPECT_GE(Value(text, Started(kAlarms[0])), 2.0);
    for (const char* kind : {kAlarms[1], kAlarms[2], kAlarms[3]})
        EXPECT_EQ(Value(text, Started(kind)), 1.0) << kind;

    const int code = studio.Stop();
    EXPECT_NE(code, 128 + SIGKILL) << "lumenfeed did not end on SIGTERM\n" << studio.Output();
}
