// The whole studio link as its users run it: the real lumenfeed program in a
// window on the test display, its Start pressed with the mouse, a field unit
// streaming to it over 127.0.0.1, the picture read back from the screen and
// the sound from the test sound server's sinks.
#include "CStudioProgram.h"
#include "CTempDir.h"
#include "MediaFiles.h"
#include "PictureChecks.h"
#include "support/MonitorRecorder.h"
#include "support/TestClient.h"
#include "support/ToneMeasure.h"
#include "tools/media/AacTone.h"
#include "tools/media/CChildProcess.h"
#include "tools/media/CH264Encoder.h"
#include "tools/media/I420Picture.h"

#include <gtest/gtest.h>

#include <QString>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <thread>

using namespace std::chrono_literals;
using testing_support::MonitorRecorder;
using testing_support::TestClient;

namespace {

constexpr int kRecordRate = 48000;


std::string SaveArtefact(const QImage& window, const std::string& name) {
    std::error_code ignored;
    std::filesystem::create_directories(LUMEN_E2E_ARTIFACTS, ignored);
    std::string path = std::string(LUMEN_E2E_ARTIFACTS) + "/" + name;
    if (!window.save(QString::fromStdString(path)))
        return {};
    std::printf("window screenshot: %s\n", path.c_str());
    return path;
}

struct HeardTone {
    double seconds = 0;   // all the 10 ms blocks with sound
    double longest = 0;   // the longest run of sound without a break
    int breaks = 0;       // silent gaps between the first sound and the last
    double frequency = 0; // measured over the longest run
    double rms = 0;
};

std::string Describe(const HeardTone& t) {
    char text[160];
    std::snprintf(text, sizeof text,
                  "%.2f s of sound in %d breaks, the longest run %.2f s of %.1f Hz at RMS %.3f",
                  t.seconds, t.breaks, t.longest, t.frequency, t.rms);
    return text;
}

// What one channel plays: how much sound, with how many breaks, and the
// tone of its longest run, leaving out the run's edges.
HeardTone Listen(const char* where, const std::vector<int16_t>& samples, int channels, int channel,
                 int rate) {
    constexpr double kThreshold = 0.02;
    HeardTone heard;
    const size_t block = size_t(rate / 100);
    const size_t frames = samples.size() / size_t(channels);
    int blocks = 0;
    bool started = false, silent = false;
    for (size_t b = 0; b + block <= frames; b += block) {
        bool loud =
            testing_support::MeasureTone(samples, channels, channel, rate, b, b + block).rms >
            kThreshold;
        if (loud) {
            ++blocks;
            if (started && silent)
                ++heard.breaks;
            started = true;
        }
        silent = !loud;
    }
    heard.seconds = blocks / 100.0;
    testing_support::SoundRun run =
        testing_support::LongestSound(samples, channels, channel, rate, kThreshold);
    heard.longest = double(run.Frames()) / rate;
    size_t edge = size_t(rate / 20);
    if (run.Frames() > 4 * edge) {
        testing_support::Tone tone = testing_support::MeasureTone(samples, channels, channel, rate,
                                                                  run.first + edge, run.end - edge);
        heard.frequency = tone.frequency;
        heard.rms = tone.rms;
    }
    std::printf("%s, channel %d: %s\n", where, channel, Describe(heard).c_str());
    return heard;
}

// A tone heard for at least seconds in all, at frequency (give or take 2%,
// as a break inside the measured run shifts the count a little) and at an
// RMS level within [low, high].
void ExpectTone(const HeardTone& heard, double seconds, double frequency, double low, double high) {
    EXPECT_GE(heard.seconds, seconds) << Describe(heard);
    EXPECT_NEAR(heard.frequency, frequency, frequency * 0.02) << Describe(heard);
    EXPECT_GE(heard.rms, low) << Describe(heard);
    EXPECT_LE(heard.rms, high) << Describe(heard);
}

class StudioLink : public ::testing::Test {
protected:
    // Starts the program with the stored choices, and as the operator
    // chooses the loopback address and a port of the test's own and presses
    // Start.
    void StartStudio(int audioSource) {
        ASSERT_TRUE(dir.Ok());
        port = testing_support::FreePortUpTo(32000);
        ASSERT_NE(port, 0);
        std::string problem;
        CStudioProgram::Choices choices;
        choices.full = 0;
        choices.audioSource = audioSource;
        ASSERT_TRUE(studio.Start(media::ProgramPath("lumenfeed", LUMENFEED_PATH), dir.Path(),
                                 choices, problem))
            << problem;
        QImage before = studio.Grab();
        ASSERT_FALSE(before.isNull());
        // "Unconnected." is wider than "Connected.".
        unconnectedRight = picture::TextRight(before, CStudioProgram::kClients);
        ASSERT_GT(unconnectedRight, CStudioProgram::kClients.left());
        ASSERT_TRUE(studio.SelectLoopbackHost());
        ASSERT_TRUE(studio.SetPort(port));
        ASSERT_TRUE(studio.PressStart());
    }

    bool ShowsConnected(const QImage& window) const {
        int right = picture::TextRight(window, CStudioProgram::kClients);
        return right > CStudioProgram::kClients.left() && right < unconnectedRight - 5;
    }
    bool ShowsUnconnected(const QImage& window) const {
        return std::abs(picture::TextRight(window, CStudioProgram::kClients) - unconnectedRight) <=
               1;
    }

    // Waits until the panel's centre shows colour, saves that window as an
    // artefact and checks the connection line.
    void ExpectPanelColour(const QColor& colour, const std::string& artefact) {
        const QRect centre(CStudioProgram::kVideo.center() - QPoint(20, 20), QSize(40, 40));
        QImage shown;
        bool seen = studio.WaitForWindow(
            [&](const QImage& w) {
                shown = w;
                return picture::Near(picture::Average(w, centre), colour, 30);
            },
            15s);
        EXPECT_TRUE(seen) << "the panel's centre shows "
                          << picture::Describe(picture::Average(shown, centre)) << ", not "
                          << picture::Describe(colour);
        EXPECT_FALSE(SaveArtefact(shown, artefact).empty());
        EXPECT_TRUE(studio.WaitForWindow([&](const QImage& w) { return ShowsConnected(w); }, 5s))
            << "\"Connected.\" is not shown";
    }

    // Asks the program to end as a session manager would, and checks it did.
    void StopStudio() {
        int code = studio.Stop();
        EXPECT_NE(code, 128 + SIGKILL) << "lumenfeed did not end on SIGTERM\n" << studio.Output();
    }

    CTempDir dir;
    CStudioProgram studio;
    uint16_t port = 0;
    int unconnectedRight = -1;
};

// The field unit's test pattern: its picture in the panel, its 1 kHz tone on
// Studio_Out, and a tone played into the studio's microphone coming back to
// the field unit.
TEST_F(StudioLink, TestPatternBothWays) {
    const int mic = CStudioProgram::AudioSourcePosition(u"Studio_Mic");
    ASSERT_GT(mic, 0) << "the capture device Studio_Mic is not listed";
    ASSERT_NO_FATAL_FAILURE(StartStudio(mic));

    MonitorRecorder output;
    ASSERT_TRUE(output.Start("studio_out.monitor", kRecordRate, 2));
    const std::string studioTone = dir.File("studio-tone.raw");
    ASSERT_TRUE(mediafiles::WriteRawTone(studioTone, kRecordRate, 600.0, 0.3, 30.0));
    media::CChildProcess microphone;
    ASSERT_TRUE(microphone.Start({"pacat", "--playback", "--device=studio_mic_feed", "--raw",
                                  "--format=s16le", "--channels=2",
                                  "--rate=" + std::to_string(kRecordRate), studioTone}));

    const std::string returned = dir.File("return.wav");
    media::CChildProcess field;
    ASSERT_TRUE(field.Start({media::ProgramPath("fieldunit", FIELDUNIT_PATH),
                             "127.0.0.1:" + std::to_string(port), "--duration", "8",
                             "--return-audio", returned, "--return-tone", "600"},
                            {}, dir.File("fieldunit.log")));

    QImage first;
    std::string bars;
    bool shown = studio.WaitForWindow(
        [&](const QImage& w) {
            first = w;
            return picture::ShowsPatternBars(w, CStudioProgram::kVideo, &bars);
        },
        15s);
    ASSERT_TRUE(shown) << "the panel does not show the test pattern; " << bars << "\n"
                       << field.Output();
    EXPECT_TRUE(studio.WaitForWindow([&](const QImage& w) { return ShowsConnected(w); }, 5s))
        << "\"Connected.\" is not shown";
    // The pattern's clock and frame counter run: a later picture differs.
    std::this_thread::sleep_for(500ms);
    QImage second = studio.Grab();
    ASSERT_FALSE(second.isNull());
    EXPECT_TRUE(picture::ShowsPatternBars(second, CStudioProgram::kVideo, &bars)) << bars;
    EXPECT_GT(picture::DifferingPixels(first, second, CStudioProgram::kVideo), 200)
        << "the picture in the panel does not move";
    EXPECT_FALSE(SaveArtefact(second, "e2e-window.png").empty());

    int code = field.Wait(40s);
    EXPECT_EQ(code, 0) << field.Output();
    // The field unit has gone: the panel shows the test card again.
    EXPECT_TRUE(studio.WaitForWindow(
        [&](const QImage& w) {
            return ShowsUnconnected(w) && !picture::ShowsPatternBars(w, CStudioProgram::kVideo);
        },
        5s))
        << "the window does not return to \"Unconnected.\" and the test card";
    microphone.Stop();
    output.Stop();
    StopStudio();

    const std::vector<int16_t> played = output.Samples();
    for (int channel = 0; channel < 2; ++channel) {
        // The pattern's tone is a quarter of full scale, played at full volume.
        ExpectTone(Listen("Studio_Out", played, 2, channel, kRecordRate), 5.0, 1000.0, 0.12, 0.25);
    }

    // The return audio keeps up with real time while the programme plays.
    const std::string out = field.Output();
    double realTime = 0;
    const size_t at = out.find("due (");
    ASSERT_NE(at, std::string::npos) << out;
    ASSERT_EQ(std::sscanf(out.c_str() + at, "due (%lf of real time)", &realTime), 1) << out;
    EXPECT_GT(realTime, 0.95) << out;
    EXPECT_LT(realTime, 1.05) << out;

    mediafiles::Wav wav;
    std::string problem;
    ASSERT_TRUE(mediafiles::ReadWav(returned, wav, problem)) << problem << "\n" << out;
    ASSERT_GT(wav.sampleRate, 0);
    for (int channel = 0; channel < wav.channels; ++channel) {
        ExpectTone(Listen("return audio", wav.samples, wav.channels, channel, wav.sampleRate), 4.0,
                   600.0, 0.1, 0.3);
    }
}

// A media file streamed by the field unit: its colour in the panel, its
// tone on Studio_Out.
TEST_F(StudioLink, FileInput) {
    const std::string clip = dir.File("clip.mp4");
    std::string problem;
    ASSERT_TRUE(dir.Ok());
    ASSERT_TRUE(mediafiles::MakeColourClip(clip, 230, 120, 30, 750.0, 4.0, problem)) << problem;
    const int mic = CStudioProgram::AudioSourcePosition(u"Studio_Mic");
    ASSERT_NO_FATAL_FAILURE(StartStudio(mic > 0 ? mic : 0));

    MonitorRecorder output;
    ASSERT_TRUE(output.Start("studio_out.monitor", kRecordRate, 2));
    media::CChildProcess field;
    ASSERT_TRUE(field.Start({media::ProgramPath("fieldunit", FIELDUNIT_PATH), "--file", clip,
                             "127.0.0.1:" + std::to_string(port)},
                            {}, dir.File("fieldunit.log")));

    ExpectPanelColour(QColor(230, 120, 30), "e2e-file-window.png");
    EXPECT_EQ(field.Wait(30s), 0) << field.Output();
    EXPECT_TRUE(studio.WaitForWindow([&](const QImage& w) { return ShowsUnconnected(w); }, 5s));
    output.Stop();
    StopStudio();

    const std::vector<int16_t> played = output.Samples();
    for (int channel = 0; channel < 2; ++channel) {
        ExpectTone(Listen("Studio_Out", played, 2, channel, kRecordRate), 2.5, 750.0, 0.14, 0.29);
    }
}

// A plain field unit of the tests' own writing real H.264 and AAC packets to
// the program, with no studio audio chosen.
TEST_F(StudioLink, TestClientStream) {
    const QColor colour(40, 170, 90);
    ASSERT_NO_FATAL_FAILURE(StartStudio(0));
    MonitorRecorder output;
    ASSERT_TRUE(output.Start("studio_out.monitor", kRecordRate, 2));

    media::CH264Encoder::Settings settings;
    settings.keyInterval = 30;
    media::CH264Encoder maker(settings);
    ASSERT_TRUE(maker.Ok());
    const std::vector<uint8_t> picture =
        media::SolidPicture(settings.width, settings.height,
                            media::YuvFromRgb(colour.red(), colour.green(), colour.blue()));
    constexpr double kSeconds = 5.0;
    const std::vector<media::Bytes> tone = media::MakeAacTone(48000, 2, 440.0, {0.3}, kSeconds);
    ASSERT_FALSE(tone.empty());

    TestClient client;
    ASSERT_TRUE(client.Connect(port, 15s)) << "nobody listens on port " << port;
    // A program that stops reading fails the test instead of hanging it.
    timeval patience{10, 0};
    setsockopt(client.Handle(), SOL_SOCKET, SO_SNDTIMEO, &patience, sizeof patience);
    // Sent in real time, as a field unit does: the worker plays the sound as
    // it comes.
    std::atomic<bool> sent{false};
    std::thread sender([&] {
        const auto start = std::chrono::steady_clock::now();
        const int pictures = int(kSeconds * settings.frameRate);
        size_t video = 0, audio = 0;
        while (video < size_t(pictures) || audio < tone.size()) {
            double videoAt = double(video) / settings.frameRate;
            double audioAt = double(audio) * 1024 / 48000;
            bool sendVideo =
                audio >= tone.size() || (video < size_t(pictures) && videoAt <= audioAt);
            double at = sendVideo ? videoAt : audioAt;
            std::this_thread::sleep_until(start + std::chrono::duration<double>(at));
            bool ok;
            if (sendVideo) {
                media::CMediaPacket packet = maker.Encode(picture);
                ok = !packet.data.empty() &&
                     client.SendPacket(kPacketVideo, packet.key, uint16_t(settings.width),
                                       uint16_t(settings.height), packet.data);
                ++video;
            } else {
                ok = client.SendPacket(kPacketAudio, false, 48000, 2, tone[audio]);
                ++audio;
            }
            if (!ok)
                return;
        }
        sent = true;
    });
    ExpectPanelColour(colour, "e2e-client-window.png");
    sender.join();
    EXPECT_TRUE(sent) << "the program stopped taking the stream";
    // The last of the sound is still queued when the stream ends.
    std::this_thread::sleep_for(1s);
    client.Close();
    EXPECT_TRUE(studio.WaitForWindow([&](const QImage& w) { return ShowsUnconnected(w); }, 5s));
    output.Stop();
    StopStudio();

    const std::vector<int16_t> played = output.Samples();
    for (int channel = 0; channel < 2; ++channel) {
        ExpectTone(Listen("Studio_Out", played, 2, channel, kRecordRate), 3.0, 440.0, 0.14, 0.29);
    }
}

} // namespace
