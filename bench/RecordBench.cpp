// What recording and re-publishing cost the studio: a 1080p30 feed (libx264,
// 4 slices, a key frame every 2 s, AAC stereo 48 kHz) streamed in real time
// over 127.0.0.1 into a real stream server drawing into a 360 x 288 panel.
//   1. the path alone: CPU per picture of receiving, decoding, drawing and
//      playing, without the feed tap;
//   2. the tap alone, fed the same packets at the same pace: CPU per picture
//      of recording into an MPEG-TS file plus one SRT publication to ffmpeg;
//   3. both together for a minute: what each writer's queue dropped, and the
//      CPU per picture against run 1;
//   4. for comparison, ffmpeg publishing the same pictures over SRT (-c copy):
//      the CPU per picture of libsrt's own threads there, which no caller of
//      the library can save.
// Prints figures; passes or fails nothing.
//   scripts/headless.sh build/bench/record_bench [--seconds 60] [--path-seconds 20]
#include "BenchClock.h"
#include "CTempDir.h"
#include "CameraClip.h"
#include "core/CErrorHandler.h"
#include "gateway/CGateway.h"
#include "platform/video/VideoSurface.h"
#include "record/CFeedTap.h"
#include "support/GatewayFixture.h"
#include "support/TestClient.h"
#include "tools/media/AacTone.h"
#include "tools/media/CChildProcess.h"

#include <QApplication>
#include <QEventLoop>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <thread>
#include <map>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <unistd.h>

using media::CMediaPacket;
using testing_support::TestClient;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

using bench::ProcessCpuSeconds;
using bench::Pump;
using bench::ThreadCpuSeconds;
using bench::ThreadTimes;

namespace {

constexpr int kWidth = 1920, kHeight = 1080, kRate = 30;
constexpr int kClipPictures = 2 * kRate;

struct Clip {
    std::vector<CMediaPacket> pictures;
    std::vector<media::Bytes> sound; // one AAC frame each
};

// The packets of seconds of the feed in the order a field unit sends them,
// each at its time; the clip repeats.
template <typename Send>
void Stream(const Clip& clip, double seconds, const Send& send) {
    const auto start = Clock::now();
    const int pictures = int(seconds * kRate);
    const double frameMs = 1024 * 1000.0 / 48000;
    size_t audio = 0;
    for (int i = 0; i < pictures; ++i) {
        const double pictureMs = i * 1000.0 / kRate;
        for (; audio * frameMs <= pictureMs; ++audio) {
            std::this_thread::sleep_until(start + std::chrono::microseconds(int64_t(audio * frameMs * 1000)));
            send(false, clip.sound[audio % clip.sound.size()], false);
        }
        std::this_thread::sleep_until(start + std::chrono::microseconds(int64_t(pictureMs * 1000)));
        const CMediaPacket& p = clip.pictures[size_t(i) % clip.pictures.size()];
        send(true, p.data, p.key);
    }
}

class Studio {
public:
    explicit Studio(CErrorLine& line) {
        playback = DefaultWaveFormat();
        capture = DefaultWaveFormat();
        port = testing_support::FreePort();
        testing_support::FillSession(session, port, playback, capture);
        session.errorHandler = new CErrorHandler(&line);
        surface.resize(362, 290);
        surface.show();
        session.videoWindow = &surface;
        session.videoWidth = 360;
        session.videoHeight = 288;
        session.drawLeft = 1;
        session.drawTop = 1;
        session.drawWidth = 360;
        session.drawHeight = 288;
    }
    ~Studio() { delete session.errorHandler.load(); }

    struct Run {
        double cpuPerPicture = 0; // ms, the sender left out
        uint64_t pictures = 0;
    };

    // Streams the clip into a stream server with the tap, or none.
    Run Serve(const Clip& clip, double seconds, CPacketTap* tap) {
        Run run;
        auto server = std::make_unique<CGateway>(&session);
        server->SetTap(tap);
        server->Start(0);
        TestClient client;
        if (!client.Connect(port, 10s) || !Pump([&] { return session.connected == 1; }, 10s))
            return run;
        int on = 1;
        setsockopt(client.Handle(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        std::atomic<bool> done{false};
        double senderCpu = 0;
        const double before = ProcessCpuSeconds();
        std::thread sender([&] {
            const double start = ThreadCpuSeconds();
            Stream(clip, seconds, [&](bool video, const media::Bytes& data, bool key) {
                if (video)
                    client.SendPacket(kPacketVideo, key, kWidth, kHeight, data);
                else
                    client.SendPacket(kPacketAudio, false, 48000, 2, data);
            });
            senderCpu = ThreadCpuSeconds() - start;
            done = true;
        });
        Pump([&] { return done.load(); }, std::chrono::seconds(int(seconds) + 60));
        sender.join();
        const uint64_t expected = uint64_t(seconds * kRate);
        Pump([&] { return server->VideoCounters().draws >= expected; }, 30s);
        const double cpu = ProcessCpuSeconds() - before - senderCpu;
        run.pictures = server->VideoCounters().pictures;
        run.cpuPerPicture = cpu * 1000 / double(expected);
        client.Close();
        server->Stop(30000);
        return run;
    }

    SessionContext session;

private:
    WAVEFORMATEX playback{}, capture{};
    uint16_t port = 0;
    platform::CVideoSurface surface;
};

class PrintingLine : public CErrorLine {
public:
    void SetText(const std::u16string& text) override {
        std::printf("  error line: %s\n", std::string(text.begin(), text.end()).c_str());
    }
};

struct Tap {
    CTempDir folder;
    media::CChildProcess receiver;
    std::unique_ptr<CFeedTap> tap;

    bool Start(SessionContext& session) {
        const uint16_t port = testing_support::FreePort();
        const std::string url = "srt://127.0.0.1:" + std::to_string(port);
        if (!receiver.Start({"ffmpeg", "-nostdin", "-v", "error", "-i", url + "?mode=listener",
                             "-c", "copy", "-f", "mpegts", "-y", "/dev/null"},
                            {}, folder.File("receiver.log")))
            return false;
        tap = std::make_unique<CFeedTap>(&session);
        if (!tap->StartRecording(folder.File("recordings")))
            return false;
        tap->SetPublishTargets({url + "?mode=caller"});
        return Pump(
            [&] {
                auto s = tap->PublishStatus();
                return s.size() == 1 && s[0].status.state == CFeedWriter::State::Waiting;
            },
            30s);
    }

    void Print() {
        auto print = [](const char* what, const CFeedWriter::Status& s) {
            std::printf("  %s: %llu pictures and %llu sound frames dropped, %zu at most waiting, "
                        "%llu refused\n",
                        what, (unsigned long long)s.queue.droppedPictures,
                        (unsigned long long)s.queue.droppedAudioFrames, s.queue.highWater,
                        (unsigned long long)s.refused);
        };
        for (const auto& t : tap->RecordingStatus())
            print("recording", t.status);
        for (const auto& t : tap->PublishStatus())
            print("SRT publication", t.status);
    }
};

// ffmpeg sending the clip's pictures over SRT at their pace to another
// ffmpeg: the CPU per picture of its libsrt threads and of the whole sender.
void PrintLibraryCost(const Clip& clip, double seconds, double pathCpuPerPicture) {
    CTempDir folder;
    {
        // Long enough for the run: raw H.264 cannot be looped by seeking.
        std::ofstream file(folder.File("clip.h264"), std::ios::binary);
        const int pictures = int((seconds + 10) * kRate);
        for (int i = 0; i < pictures; ++i) {
            const auto& p = clip.pictures[size_t(i) % clip.pictures.size()];
            file.write(reinterpret_cast<const char*>(p.data.data()), std::streamsize(p.data.size()));
        }
    }
    const std::string url = "srt://127.0.0.1:" + std::to_string(testing_support::FreePort());
    media::CChildProcess receiver, sender;
    const bool listening = receiver.Start({"ffmpeg", "-nostdin", "-v", "error", "-i",
                                           url + "?mode=listener", "-c", "copy", "-f", "mpegts",
                                           "-y", "/dev/null"},
                                          {}, folder.File("receiver.log"));
    // A caller that finds no listener gives up at once.
    std::this_thread::sleep_for(1s);
    if (!listening ||
        !sender.Start({"ffmpeg", "-nostdin", "-v", "error", "-re", "-f",
                       "h264", "-framerate", std::to_string(kRate), "-i", folder.File("clip.h264"),
                       "-c", "copy", "-f", "mpegts", url + "?mode=caller"},
                      {}, folder.File("sender.log"))) {
        std::printf("  ffmpeg could not start\n");
        return;
    }
    // Past the start-up, then over the run.
    std::this_thread::sleep_for(3s);
    auto spent = [&] {
        double library = 0, all = 0;
        for (const auto& [tid, t] : ThreadTimes(sender.Pid())) {
            all += t.second;
            if (t.first.rfind("SRT", 0) == 0)
                library += t.second;
        }
        return std::pair{library, all};
    };
    const auto before = spent();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const auto after = spent();
    const bool running = sender.Running();
    sender.Stop();
    receiver.Stop();
    if (!running || after.second <= before.second) {
        std::ifstream log(folder.File("sender.log"));
        std::stringstream text;
        text << log.rdbuf();
        std::printf("  ffmpeg did not send: %s\n", text.str().c_str());
        return;
    }
    const double perPicture = 1000 / (seconds * kRate);
    const double library = (after.first - before.first) * perPicture;
    std::printf("  libsrt's own threads %.3f ms CPU per picture (%.1f %% of the path's), the "
                "whole sender %.3f ms\n",
                library, pathCpuPerPicture > 0 ? library * 100 / pathCpuPerPicture : 0.0,
                (after.second - before.second) * perPicture);
}

} // namespace

int main(int argc, char** argv) {
    double seconds = 60, pathSeconds = 20;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--seconds"))
            seconds = std::atof(argv[i + 1]);
        else if (!std::strcmp(argv[i], "--path-seconds"))
            pathSeconds = std::atof(argv[i + 1]);
    }
    QApplication app(argc, argv);

    std::printf("making %d pictures of %dx%d H.264 and a second of AAC...\n", kClipPictures,
                kWidth, kHeight);
    bench::CameraClip camera{"1080p30", kWidth, kHeight, 8000000, kClipPictures, kRate, {}};
    camera.preset = "ultrafast";
    bench::MakeCameraClip(camera);
    Clip clip;
    clip.pictures = std::move(camera.packets);
    clip.sound = media::MakeAacTone(48000, 2, 1000, {0.3}, 2.0);
    size_t bytes = 0;
    for (const auto& p : clip.pictures)
        bytes += p.data.size();
    std::printf("  %.1f Mbit/s of video\n", double(bytes) * 8 / 2 / 1e6);

    PrintingLine line;
    Studio studio(line);

    std::printf("1. the path alone, %.0f s at 1080p30:\n", pathSeconds);
    Studio::Run path = studio.Serve(clip, pathSeconds, nullptr);
    std::printf("  %.2f ms CPU per picture (%llu pictures decoded)\n", path.cpuPerPicture,
                (unsigned long long)path.pictures);

    std::printf("2. the tap alone (recording + one SRT publication), %.0f s:\n", pathSeconds);
    double tapCpu = 0;
    {
        Tap tap;
        if (!tap.Start(studio.session)) {
            std::printf("  the tap could not start\n");
            return 1;
        }
        tap.tap->ConnectionStarted("127.0.0.1:1");
        double arrivedCpu = 0;
        const auto startTimes = ThreadTimes();
        Stream(clip, pathSeconds, [&](bool video, const media::Bytes& data, bool key) {
            PacketHeader h = video ? PacketHeader::Make(kFieldUnitMagic, kPacketVideo, key,
                                                        uint32_t(data.size()), kWidth, kHeight)
                                   : PacketHeader::Make(kFieldUnitMagic, kPacketAudio, false,
                                                        uint32_t(data.size()), 48000, 2);
            double t0 = ThreadCpuSeconds();
            tap.tap->PacketArrived(h, data.data(), uint32_t(data.size()), Clock::now());
            arrivedCpu += ThreadCpuSeconds() - t0;
        });
        tap.tap->ConnectionEnded();
        // What is still queued is written before the figure is taken.
        Pump([&] {
            auto r = tap.tap->RecordingStatus();
            return !r.empty() && r[0].status.state == CFeedWriter::State::Waiting;
        }, 30s);
        // The writers' threads and the SRT library's, and the tap's share of
        // the worker thread; not this thread's pacing and waiting.
        double threads = 0, library = 0;
        for (const auto& [tid, t] : ThreadTimes())
            if (tid != getpid()) {
                auto was = startTimes.find(tid);
                const double spent = t.second - (was != startTimes.end() ? was->second.second : 0);
                threads += spent;
                // libsrt names its threads SRT:...
                if (t.first.rfind("SRT", 0) == 0)
                    library += spent;
            }
        const double perPicture = 1000 / (pathSeconds * kRate);
        tapCpu = (threads + arrivedCpu) * perPicture;
        tap.Print();
        std::printf("  of which: stamping and queueing as packets arrive %.3f ms, the writers' "
                    "threads (muxing, file and SRT sends) %.3f ms, the SRT library's own "
                    "threads %.3f ms\n",
                    arrivedCpu * perPicture, (threads - library) * perPicture,
                    library * perPicture);
    }
    std::printf("  %.3f ms CPU per picture: %.1f %% of the path's\n", tapCpu,
                path.cpuPerPicture > 0 ? tapCpu * 100 / path.cpuPerPicture : 0.0);

    std::printf("3. path and tap together, %.0f s at 1080p30:\n", seconds);
    {
        Tap tap;
        if (!tap.Start(studio.session)) {
            std::printf("  the tap could not start\n");
            return 1;
        }
        Studio::Run both = studio.Serve(clip, seconds, tap.tap.get());
        tap.Print();
        std::printf("  %.2f ms CPU per picture (%llu pictures decoded): %+.2f ms against the "
                    "path alone\n",
                    both.cpuPerPicture, (unsigned long long)both.pictures,
                    both.cpuPerPicture - path.cpuPerPicture);
    }

    std::printf("4. for comparison, ffmpeg publishing the same pictures over SRT (-c copy, no "
                "sound), %.0f s:\n", pathSeconds);
    PrintLibraryCost(clip, pathSeconds, path.cpuPerPicture);
    return 0;
}
