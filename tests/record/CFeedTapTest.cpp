// Recording and re-publishing as the studio does it: a real stream server on
// 127.0.0.1 with the feed tap, the fieldunit program streaming into it, the
// recording read back with ffprobe and ffmpeg, and a publication received by
// ffmpeg listening for SRT.
#include "record/CFeedTap.h"
#include "CTempDir.h"
#include "record/CAvFormat.h"
#include "support/GatewayFixture.h"
#include "support/TestClient.h"
#include "tools/media/AacTone.h"
#include "tools/media/CChildProcess.h"
#include "tools/media/CH264Encoder.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <sstream>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace std::chrono_literals;
using testing_support::FreePort;
using testing_support::TestClient;
using testing_support::WaitUntil;
using Clock = std::chrono::steady_clock;

namespace {

constexpr double kFieldSeconds = 4;
constexpr int kFieldRate = 30;

// Keeps every video payload as the server read it, and hands everything on
// to the feed tap: what the recording must hold, byte for byte.
class KeepingTap : public CPacketTap {
public:
    explicit KeepingTap(CPacketTap& next) : next(next) {}
    void ConnectionStarted(const std::string& peer) override { next.ConnectionStarted(peer); }
    void PacketArrived(const PacketHeader& header, const uint8_t* payload, uint32_t length,
                       Clock::time_point arrival) override {
        if (header.Type() == kPacketVideo) {
            std::lock_guard guard(lock);
            if (pictures == 0)
                first = arrival;
            last = arrival;
            video.insert(video.end(), payload, payload + length);
            ++pictures;
        }
        next.PacketArrived(header, payload, length, arrival);
    }
    void ConnectionEnded() override {
        next.ConnectionEnded();
        ended = true;
    }
    // The stream as the studio received it: from the first picture's arrival
    // to the last one's end. A field unit that connected while the server
    // was not yet accepting arrives with a burst at first.
    double Seconds() const {
        return std::chrono::duration<double>(last - first).count() + 1.0 / kFieldRate;
    }

    std::mutex lock;
    std::vector<uint8_t> video;
    int pictures = 0;
    Clock::time_point first, last;
    std::atomic<bool> ended{false};

private:
    CPacketTap& next;
};

struct Probe {
    std::string videoCodec, audioCodec;
    int pictures = 0;
    double duration = 0;
    std::string text;
};

Probe ProbeFile(const std::string& path) {
    Probe probe;
    media::RunCommand({"ffprobe", "-v", "error", "-count_frames", "-show_entries",
                       "stream=codec_type,codec_name,nb_read_frames:format=duration", "-of",
                       "default=noprint_wrappers=1", path},
                      &probe.text, 120s);
    std::istringstream lines(probe.text);
    std::string name, type;
    for (std::string line; std::getline(lines, line);) {
        auto eq = line.find('=');
        if (eq == std::string::npos)
            continue;
        std::string key = line.substr(0, eq), value = line.substr(eq + 1);
        if (key == "codec_name")
            name = value;
        else if (key == "codec_type")
            type = value;
        else if (key == "nb_read_frames" && type == "video") {
            probe.videoCodec = name;
            probe.pictures = std::atoi(value.c_str());
        } else if (key == "nb_read_frames" && type == "audio")
            probe.audioCodec = name;
        else if (key == "duration")
            probe.duration = std::atof(value.c_str());
    }
    return probe;
}

std::vector<uint8_t> ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The H.264 elementary stream of a recording, without the access unit
// delimiters a transport stream muxer puts in front of each picture.
std::vector<uint8_t> ElementaryStream(const std::string& recording, const std::string& out) {
    if (media::RunCommand({"ffmpeg", "-nostdin", "-v", "error", "-y", "-i", recording, "-map",
                           "0:v", "-c", "copy", "-f", "h264", out},
                          nullptr, 60s) != 0)
        return {};
    std::vector<uint8_t> es = ReadFile(out), plain;
    for (size_t i = 0; i < es.size();) {
        if (i + 6 <= es.size() && es[i] == 0 && es[i + 1] == 0 && es[i + 2] == 0 &&
            es[i + 3] == 1 && (es[i + 4] & 0x1F) == 9) {
            i += 6;
            continue;
        }
        plain.push_back(es[i++]);
    }
    return plain;
}

std::vector<std::string> TsFiles(const std::string& folder) {
    std::vector<std::string> files;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error))
        if (entry.path().extension() == ".ts")
            files.push_back(entry.path().string());
    return files;
}

std::vector<std::string> FieldUnit(uint16_t port, double seconds) {
    std::vector<std::string> argv{FIELDUNIT_PATH, "--quiet", "--size", "640x360"};
    if (seconds > 0) {
        argv.push_back("--duration");
        argv.push_back(std::to_string(seconds));
    }
    argv.push_back("127.0.0.1:" + std::to_string(port));
    return argv;
}

class FeedTapTest : public testing_support::GatewayFixture {
protected:
    void SetUp() override {
        ASSERT_TRUE(folder.Ok());
        GatewayFixture::SetUp();
    }

    bool ErrorLineSays(const std::string& text) {
        for (const std::u16string& t : line.Texts())
            if (std::string(t.begin(), t.end()).find(text) != std::string::npos)
                return true;
        return false;
    }

    // A real connection's worth of pictures and sound, sent by a test client:
    // the link works when the server reads them all.
    void StreamAndExpectAllRead() {
        media::CH264Encoder maker(320, 240);
        ASSERT_TRUE(maker.Ok());
        auto pictures = maker.EncodePattern(30);
        auto sound = media::MakeAacTone(48000, 2, 1000, {0.5}, 1.0);
        TestClient client;
        ASSERT_TRUE(client.Connect(port));
        for (size_t i = 0; i < pictures.size(); ++i) {
            ASSERT_TRUE(client.SendPacket(kPacketVideo, pictures[i].key, 320, 240,
                                          pictures[i].data));
            ASSERT_TRUE(client.SendPacket(kPacketAudio, false, 48000, 2, sound[i]));
        }
        EXPECT_TRUE(WaitUntil([&] { return server->PacketsRead() == 2 * pictures.size(); }, 30s))
            << server->PacketsRead() << " of " << 2 * pictures.size() << " packets read";
        EXPECT_EQ(session.connected, 1u);
    }

    CTempDir folder;
};

// The field unit streams a few seconds while the studio records and publishes
// over SRT to ffmpeg: both files hold H.264 and AAC of the stream's length and
// every picture, and the recording holds the pictures exactly as sent.
TEST_F(FeedTapTest, RecordsAndPublishesWhatTheFieldUnitSent) {
    const uint16_t srtPort = FreePort();
    const std::string received = folder.File("received.ts");
    media::CChildProcess receiver;
    ASSERT_TRUE(receiver.Start({"ffmpeg", "-nostdin", "-v", "error", "-y", "-i",
                                "srt://127.0.0.1:" + std::to_string(srtPort) + "?mode=listener",
                                "-c", "copy", received},
                               {}, folder.File("receiver.log")));
    const std::string recordings = folder.File("recordings");
    int sent = 0;
    double seconds = 0;
    {
        CFeedTap tap(&session);
        ASSERT_TRUE(tap.Available());
        ASSERT_TRUE(tap.StartRecording(recordings));
        tap.SetPublishTargets({"srt://127.0.0.1:" + std::to_string(srtPort) + "?mode=caller"});
        // Published from the first picture on: the caller is connected first.
        ASSERT_TRUE(WaitUntil(
            [&] {
                auto s = tap.PublishStatus();
                return s.size() == 1 && s[0].status.state == CFeedWriter::State::Waiting;
            },
            60s));
        KeepingTap keeping(tap);
        StartServer(&keeping);
        media::CChildProcess field;
        ASSERT_TRUE(field.Start(FieldUnit(port, kFieldSeconds), {}, folder.File("field.log")));
        EXPECT_EQ(field.Wait(60s), 0) << field.Output();
        ASSERT_TRUE(WaitUntil([&] { return keeping.ended.load(); }, 30s));
        Stop();
        auto status = tap.RecordingStatus();
        ASSERT_EQ(status.size(), 1u);
        EXPECT_EQ(status[0].status.queue.droppedPictures, 0u);
        EXPECT_EQ(status[0].status.refused, 0u);
        EXPECT_TRUE(tap.PublishStatus().at(0).status.outputs == 1);
        // Ending the tap ends the publication, and the receiver with it.
        std::lock_guard guard(keeping.lock);
        sent = keeping.pictures;
        seconds = keeping.Seconds();
        const std::vector<std::string> files = TsFiles(recordings);
        ASSERT_EQ(files.size(), 1u);
        const std::string name = std::filesystem::path(files[0]).filename().string();
        EXPECT_NE(name.find("-127.0.0.1-"), std::string::npos) << name;
        EXPECT_EQ(name.rfind("lumenfeed-", 0), 0u) << name;

        Probe recorded = ProbeFile(files[0]);
        EXPECT_EQ(recorded.videoCodec, "h264") << recorded.text;
        EXPECT_EQ(recorded.audioCodec, "aac") << recorded.text;
        EXPECT_NEAR(recorded.duration, seconds, 0.5) << recorded.text;
        EXPECT_EQ(recorded.pictures, keeping.pictures) << recorded.text;
        std::vector<uint8_t> es = ElementaryStream(files[0], folder.File("recorded.h264"));
        EXPECT_EQ(es.size(), keeping.video.size());
        EXPECT_TRUE(es == keeping.video) << "the recorded H.264 differs from what was sent";
    }
    ASSERT_EQ(receiver.Wait(30s), 0) << receiver.Output();
    Probe published = ProbeFile(received);
    EXPECT_EQ(published.videoCodec, "h264") << published.text;
    EXPECT_EQ(published.audioCodec, "aac") << published.text;
    EXPECT_NEAR(published.duration, seconds, 0.5) << published.text;
    EXPECT_EQ(published.pictures, sent) << published.text;
}

// A studio killed in the middle of a recording leaves a file that plays up to
// within a second of the kill.
TEST_F(FeedTapTest, RecordingCutOffByAKillPlaysToTheKill) {
    const std::string recordings = folder.File("recordings");
    pid_t studio = fork();
    ASSERT_GE(studio, 0);
    if (studio == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        CFeedTap tap(&session);
        if (!tap.StartRecording(recordings))
            _exit(1);
        CGateway gateway(&session);
        gateway.SetTap(&tap);
        gateway.Start(0);
        for (;;)
            pause();
    }
    media::CChildProcess field;
    ASSERT_TRUE(field.Start(FieldUnit(port, 0), {}, folder.File("field.log")));
    std::string file;
    ASSERT_TRUE(WaitUntil(
        [&] {
            auto files = TsFiles(recordings);
            if (!files.empty())
                file = files[0];
            std::error_code error;
            return !file.empty() && std::filesystem::file_size(file, error) > 0;
        },
        60s));
    const auto begun = Clock::now();
    std::this_thread::sleep_for(4s);
    kill(studio, SIGKILL);
    const double recorded = std::chrono::duration<double>(Clock::now() - begun).count();
    int status = 0;
    waitpid(studio, &status, 0);
    field.Stop();
    Probe probe = ProbeFile(file);
    EXPECT_EQ(probe.videoCodec, "h264") << probe.text;
    EXPECT_GE(probe.duration, recorded - 1.0) << probe.text;
    EXPECT_GE(probe.pictures, int((recorded - 1.0) * kFieldRate)) << probe.text;
}

// An address nobody answers, or no libavformat at all: a message on the error
// line, and the link reads every packet as before.
TEST_F(FeedTapTest, UnreachableTargetOrMissingLibraryLeavesTheLinkWorking) {
    {
        CFeedTap tap(&session);
        const std::string nobody = "srt://127.0.0.1:" + std::to_string(FreePort()) + "?mode=caller";
        tap.SetPublishTargets({nobody});
        StartServer(&tap);
        StreamAndExpectAllRead();
        EXPECT_TRUE(WaitUntil([&] { return ErrorLineSays("Cannot publish to " + nobody); }, 60s));
        Stop();
    }
    const std::string real = CAvFormat::LibraryFileName();
    CAvFormat::OverrideLibraryFileName("libavformat.so.0.absent");
    {
        CFeedTap tap(&session);
        EXPECT_FALSE(tap.Available());
        EXPECT_FALSE(tap.StartRecording(folder.File("recordings")));
        EXPECT_TRUE(ErrorLineSays("Recording and re-publishing are unavailable: cannot load "
                                  "library libavformat.so.0.absent"));
        StartServer(&tap);
        StreamAndExpectAllRead();
        Stop();
    }
    CAvFormat::OverrideLibraryFileName(real);
}

} // namespace
