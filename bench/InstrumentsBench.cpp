// What the operator's instruments cost: a 1080p30 H.264 stream with 48 kHz
// stereo AAC sent in real time over 127.0.0.1 into a stream server drawing
// into an OpenGL surface, once without the instruments and once with them
// (statistics sampled every second and shown, meters painted ten times a
// second, the metrics endpoint scraped every second); then each part alone,
// at the full screen's size, and the picture meter of the alarms on 1080p
// pictures. Figures are CPU time in % of one core. Run it
// under scripts/headless.sh:
//   scripts/headless.sh build/bench/instruments_bench [--seconds N]
#include "BenchClock.h"
#include "console/CInstrumentsView.h"
#include "console/COverlay.h"
#include "gateway/CGateway.h"
#include "levels/CLevelMeter.h"
#include "instruments/CMetricsEndpoint.h"
#include "levels/CPictureMeter.h"
#include "platform/video/VideoSurface.h"
#include "support/HttpExchange.h"
#include "support/TestClient.h"
#include "tools/media/AacTone.h"
#include "tools/media/CH264Encoder.h"

#include <QAction>
#include <QApplication>
#include <QEventLoop>
#include <QPixmap>
#include <QTimer>
#include <QWindow>

#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

using media::Bytes;
using media::CH264Encoder;
using media::CMediaPacket;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

constexpr int kWidth = 1920, kHeight = 1080, kFrameRate = 30;
constexpr int kAudioRate = 48000, kAudioFrames = 1024;

struct Material {
    std::vector<CMediaPacket> pictures; // looped, a key frame at the start
    std::vector<Bytes> sound;
};

// The whole link for warm-up + seconds; the process's CPU over the seconds
// after the warm-up, in % of one core.
double RunLink(const Material& m, bool instruments, int seconds) {
    WAVEFORMATEX playback = DefaultWaveFormat(), capture = DefaultWaveFormat();
    SessionContext session;
    ClearSessionContext(session);
    SetSessionAddress(session, "127.0.0.1");
    session.port = testing_support::FreePort();
    session.playbackFormat = &playback;
    session.captureFormat = &capture;
    session.outputDevice = -1;
    SetSessionAudioSourceName(session, u"(none)");
    // Half the screen's size: the display's own cost is the same in both runs.
    auto surface = std::make_unique<platform::CVideoSurface>();
    surface->resize(kWidth / 2, kHeight / 2);
    surface->show();
    bench::Pump([&] { return surface->windowHandle() && surface->windowHandle()->isExposed(); });
    session.videoWindow = surface.get();
    session.drawWidth = kWidth / 2;
    session.drawHeight = kHeight / 2;

    auto server = std::make_unique<CGateway>(&session);
    server->Start(0);
    std::unique_ptr<CInstrumentsView> view;
    uint16_t metricsPort = 0;
    if (instruments) {
        view = std::make_unique<CInstrumentsView>();
        view->SetSurfaces({surface.get()});
        view->SetTarget(surface.get(), QRect(0, 0, kWidth / 2, kHeight / 2));
        view->StatisticsAction()->setChecked(true);
        std::string problem;
        if (!view->OpenEndpoint("127.0.0.1", 0, problem))
            std::fprintf(stderr, "%s\n", problem.c_str());
        metricsPort = view->EndpointPort();
        view->SetServer(server.get());
    }

    const auto warmUp = 3s;
    std::atomic<bool> done{false};
    std::thread sender([&] {
        testing_support::TestClient client;
        if (!client.Connect(uint16_t(session.port))) {
            done = true;
            return;
        }
        const auto start = Clock::now();
        const auto end = start + warmUp + std::chrono::seconds(seconds);
        size_t video = 0, audio = 0;
        for (;;) {
            const auto videoAt =
                start + std::chrono::microseconds(int64_t(video) * 1000000 / kFrameRate);
            const auto audioAt = start + std::chrono::microseconds(int64_t(audio) * kAudioFrames *
                                                                   1000000 / kAudioRate);
            const bool sendVideo = videoAt <= audioAt;
            const auto at = sendVideo ? videoAt : audioAt;
            if (at > end)
                break;
            std::this_thread::sleep_until(at);
            bool ok;
            if (sendVideo) {
                const CMediaPacket& p = m.pictures[video++ % m.pictures.size()];
                ok = client.SendPacket(kPacketVideo, p.key, kWidth, kHeight, p.data);
            } else {
                ok = client.SendPacket(kPacketAudio, false, kAudioRate, 2,
                                       m.sound[audio++ % m.sound.size()]);
            }
            if (!ok)
                break;
        }
        done = true;
    });
    std::atomic<bool> scraping{instruments};
    std::thread scraper([&] {
        while (scraping) {
            if (metricsPort)
                testing_support::HttpGet(metricsPort);
            for (int i = 0; i < 10 && scraping; ++i)
                std::this_thread::sleep_for(100ms);
        }
    });

    const auto begin = Clock::now();
    bench::Pump([&] { return Clock::now() - begin >= warmUp || done; });
    const double cpu0 = bench::ProcessCpuSeconds();
    const auto t0 = Clock::now();
    bench::Pump([&] { return done.load(); });
    const double cpu = bench::ProcessCpuSeconds() - cpu0;
    const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    scraping = false;
    scraper.join();
    sender.join();
    const CGateway::Traffic traffic = server->GetTraffic();
    server->Stop(30000);
    if (view)
        view->SetServer(nullptr);
    std::printf("  %-28s %6.1f %%   (%llu pictures, %llu sound packets in all)\n",
                instruments ? "with the instruments" : "without them", 100.0 * cpu / wall,
                (unsigned long long)traffic.videoPackets, (unsigned long long)traffic.audioPackets);
    server.reset();
    return 100.0 * cpu / wall;
}

// Both meters fed a minute of sound, in the packets the link has.
double MetersAlone() {
    CLevelMeter programme, returned;
    programme.Open(kAudioRate, 2);
    returned.Open(44100, 2);
    const int seconds = 60;
    const std::vector<int16_t> tone = media::MakePcmTone(kAudioRate, 2, 1000.0, 0.25, kAudioRate);
    const double t0 = bench::ThreadCpuSeconds();
    for (int s = 0; s < seconds; ++s) {
        for (int at = 0; at + kAudioFrames <= kAudioRate; at += kAudioFrames) {
            programme.Feed(tone.data() + 2 * at, kAudioFrames);
            returned.Feed(tone.data() + 2 * at, kAudioFrames * 44100 / kAudioRate);
        }
    }
    return 100.0 * (bench::ThreadCpuSeconds() - t0) / seconds;
}

// The alarms' look at a minute of 1080p30 pictures, on the decoding
// thread; microseconds a picture.
double PictureMeterAlone(double& microseconds) {
    CPictureMeter meter;
    // A luma plane with the decoder's padding, a different picture each time.
    const int stride = kWidth + 64;
    std::vector<uint8_t> luma(size_t(stride) * kHeight);
    for (size_t i = 0; i < luma.size(); ++i)
        luma[i] = uint8_t(16 + (i * 7 + i / size_t(stride) * 3) % 220);
    const int pictures = 60 * kFrameRate;
    const double t0 = bench::ThreadCpuSeconds();
    for (int i = 0; i < pictures; ++i) {
        luma[size_t(i % kHeight) * size_t(stride)] ^= 0x55;
        meter.Feed(luma.data(), stride, kWidth, kHeight, false, i % 60 == 0, 10.0f, Clock::now());
    }
    const double cpu = bench::ThreadCpuSeconds() - t0;
    microseconds = cpu * 1e6 / pictures;
    return 100.0 * cpu / 60;
}

// Ten overlays a second at the full screen's size, the statistics box new
// every second, each also made into the pixmap that the label over the
// surface takes meanwhile.
void OverlayAlone(double& painting, double& handing) {
    CLevelMeter programme;
    programme.Open(kAudioRate, 2);
    programme.Feed(media::MakePcmTone(kAudioRate, 2, 1000.0, 0.25, kAudioRate).data(), kAudioRate);
    CLinkStatistics statistics;
    COverlay overlay;
    const int seconds = 20;
    double paint = 0, hand = 0;
    for (int s = 0; s < seconds; ++s) {
        for (int i = 0; i < 10; ++i) {
            const double t0 = bench::ThreadCpuSeconds();
            if (i == 0)
                statistics.Sample(nullptr, {});
            COverlay::Content content;
            content.meters = true;
            content.programme = content.returned = programme.Read(Clock::now() - 100ms);
            content.programme.live = content.returned.live = true;
            content.statistics = &statistics;
            content.generation = uint64_t(s);
            const auto pieces = overlay.Paint(content, QSize(kWidth, kHeight), 1.0);
            const double t1 = bench::ThreadCpuSeconds();
            for (const platform::OverlayPiece& piece : pieces)
                QPixmap pixmap = QPixmap::fromImage(piece.image);
            hand += bench::ThreadCpuSeconds() - t1;
            paint += t1 - t0;
        }
    }
    painting = 100.0 * paint / seconds;
    handing = 100.0 * hand / seconds;
}

// The endpoint's share, client and server, of a scrape a second.
double EndpointAlone() {
    CMetricsEndpoint endpoint;
    std::string problem;
    if (!endpoint.Open("127.0.0.1", 0, problem))
        return -1;
    CLinkStatistics statistics;
    statistics.Sample(nullptr, {});
    endpoint.Publish(statistics);
    const int scrapes = 300;
    const double t0 = bench::ProcessCpuSeconds();
    for (int i = 0; i < scrapes; ++i)
        testing_support::HttpGet(endpoint.Port());
    return 100.0 * (bench::ProcessCpuSeconds() - t0) / scrapes; // one a second
}

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    int seconds = 20;
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], "--seconds") == 0)
            seconds = std::max(5, std::atoi(argv[i + 1]));

    Material m;
    CH264Encoder::Settings settings;
    settings.width = kWidth;
    settings.height = kHeight;
    settings.keyInterval = 60;
    settings.bitRate = 6000000;
    settings.threads = 2;
    CH264Encoder maker(settings);
    if (!maker.Ok()) {
        std::fprintf(stderr, "no H.264 encoder\n");
        return 1;
    }
    m.pictures = maker.EncodePattern(60);
    m.sound = media::MakeAacTone(kAudioRate, 2, 1000.0, {0.25}, 2.0);

    std::printf("The link at 1080p30 with 48 kHz stereo sound, %d s each after 3 s, the whole\n"
                "process's CPU in %% of one core (the sender's share included):\n",
                seconds);
    const double without = RunLink(m, false, seconds);
    const double with = RunLink(m, true, seconds);
    std::printf("  %-28s %6.1f %%   (noisy: the decoder's share swings by more)\n", "difference",
                with - without);

    double painting = 0, handing = 0;
    OverlayAlone(painting, handing);
    const double meters = MetersAlone();
    const double endpoint = EndpointAlone();
    double pictureMicros = 0;
    const double picture = PictureMeterAlone(pictureMicros);
    std::printf("\nEach part alone, in %% of one core:\n");
    std::printf("  %-52s %6.2f %%\n", "meters, programme and return (48 and 44.1 kHz stereo)",
                meters);
    std::printf("  %-52s %6.2f %%\n", "statistics and overlay painted 10/s at 1920 x 1080",
                painting);
    std::printf("  %-52s %6.2f %%\n", "  the overlay handed to the label over the surface",
                handing);
    std::printf("  %-52s %6.2f %%\n", "endpoint scraped 1/s (server and client)", endpoint);
    std::printf("  %-52s %6.2f %%   (%.0f us a picture)\n", "picture meter of the alarms, 1080p30",
                picture, pictureMicros);
    std::printf("  %-52s %6.2f %%   (goal: under 2 %%)\n", "in all",
                meters + painting + handing + endpoint + picture);
    return 0;
}
