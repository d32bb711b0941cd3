// How fast and how late pictures come through the whole video path: H.264
// clips made with libx264 (zero latency, 4 slices) streamed over 127.0.0.1
// into a stream server with the real video channel and an OpenGL surface,
// beside the same clips decoded by libavcodec alone. Run it under
// scripts/headless.sh; pass --full to draw into a 1920 x 1080 window instead
// of the 360 x 288 panel.
#include "BenchClock.h"
#include "CameraClip.h"
#include "gateway/CGateway.h"
#include "platform/video/VideoSurface.h"
#include "support/GatewayFixture.h"
#include "support/TestClient.h"
#include "tools/media/CH264Encoder.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/log.h>
}

#include <QApplication>
#include <QWindow>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

using media::CH264Encoder;
using media::CMediaPacket;
using platform::CVideoSurface;
using platform::DrawRect;
using testing_support::TestClient;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

constexpr int kFrames = 300;
constexpr int kFrameRate = 30;
// Packets sent ahead of the drawing when unpaced.
constexpr uint32_t kAhead = 6;

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

double Percentile(std::vector<double> v, double p) {
    if (v.empty())
        return NAN;
    std::sort(v.begin(), v.end());
    size_t i = size_t(std::ceil(p / 100.0 * double(v.size()))) - 1;
    return v[std::min(i, v.size() - 1)];
}

using Clip = bench::CameraClip;
using bench::Pump;

struct DecodeFigures {
    double fps = 0;
    double medianMs = 0;
    double p99Ms = 0;
};

// The clip through libavcodec alone, no copy, no network, no display; paced,
// each packet waits for its time at the frame rate, as in the paced path, so
// that the decoder starts each picture from idle as it does there.
DecodeFigures DecodeAlone(const Clip& clip, bool frameThreads, bool paced = false) {
    DecodeFigures figures;
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
    AVCodecContext* context = avcodec_alloc_context3(codec);
    context->thread_count = 2;
    if (frameThreads) {
        context->thread_type = FF_THREAD_FRAME;
    } else {
        context->thread_type = FF_THREAD_SLICE;
        context->flags |= AV_CODEC_FLAG_LOW_DELAY;
    }
    AVFrame* frame = av_frame_alloc();
    AVPacket* packet = av_packet_alloc();
    if (avcodec_open2(context, codec, nullptr) < 0)
        return figures;
    std::vector<double> perPacket;
    int pictures = 0;
    auto start = Clock::now();
    for (size_t i = 0; i < clip.packets.size(); ++i) {
        const CMediaPacket& p = clip.packets[i];
        if (paced)
            std::this_thread::sleep_until(start + i * 1000000us / kFrameRate);
        auto t = Clock::now();
        packet->data = const_cast<uint8_t*>(p.data.data());
        packet->size = int(p.data.size());
        avcodec_send_packet(context, packet);
        while (avcodec_receive_frame(context, frame) == 0)
            ++pictures;
        perPacket.push_back(Ms(Clock::now() - t));
    }
    avcodec_send_packet(context, nullptr);
    while (avcodec_receive_frame(context, frame) == 0)
        ++pictures;
    double seconds = Ms(Clock::now() - start) / 1000;
    figures.fps = pictures / seconds;
    figures.medianMs = Percentile(perPacket, 50);
    figures.p99Ms = Percentile(perPacket, 99);
    av_frame_free(&frame);
    av_packet_free(&packet);
    avcodec_free_context(&context);
    return figures;
}

// The surface, noting when each picture has been drawn.
class CTimedSurface : public CVideoSurface {
public:
    std::vector<Clock::time_point> drawn = std::vector<Clock::time_point>(kFrames);

protected:
    void PictureDrawn(uint32_t number) override {
        if (number > 0 && number <= kFrames)
            drawn[number - 1] = Clock::now();
    }
};

// Passes pictures on to the surface, noting when each was handed over.
class CTimedWindow : public platform::CVideoWindow {
public:
    explicit CTimedWindow(CVideoSurface* s) : surface(s) {}
    void Present(const platform::PicturePlanes& picture, const DrawRect& dst,
                 bool keyFrame) override {
        uint32_t n = count;
        if (n < kFrames)
            handed[n] = Clock::now();
        count = n + 1;
        auto start = Clock::now();
        surface->Present(picture, dst, keyFrame);
        if (n < kFrames)
            presentMs[n] = Ms(Clock::now() - start);
    }
    std::vector<Clock::time_point> handed = std::vector<Clock::time_point>(kFrames);
    std::vector<double> presentMs = std::vector<double>(kFrames);
    std::atomic<uint32_t> count{0};

private:
    CVideoSurface* surface;
};

struct PathFigures {
    double fps = 0;
    uint32_t pictures = 0;
    uint32_t painted = 0;
    std::vector<double> toDrawn;
    std::vector<double> toHanded;
    std::vector<double> presentMs;
    // As the server timed them: from a packet's arrival to its picture
    // handed to the window, and of that the decoding and handing over.
    std::vector<double> serverLatencyMs;
    std::vector<double> decodeMs;
};

// One connection to a fresh server; paced sends one packet per frame period
// and notes when its last byte went out, which the idle server receives at
// once over the loopback. Unpaced keeps a few packets ahead of the drawing,
// as many as keep the decoder busy without the picture queue overflowing.
PathFigures RunPath(const Clip& clip, const DrawRect& rect, QSize windowSize, bool paced) {
    PathFigures figures;
    CTimedSurface surface;
    surface.resize(windowSize);
    surface.show();
    Pump([&] { return surface.windowHandle() && surface.windowHandle()->isExposed(); }, 10s);
    CTimedWindow window(&surface);

    WAVEFORMATEX playback = DefaultWaveFormat(), capture = DefaultWaveFormat();
    SessionContext session;
    uint16_t port = testing_support::FreePort();
    testing_support::FillSession(session, port, playback, capture);
    session.videoWindow = &window;
    session.drawLeft = rect.left;
    session.drawTop = rect.top;
    session.drawWidth = rect.width;
    session.drawHeight = rect.height;

    auto server = std::make_unique<CGateway>(&session);
    server->Start(0);
    TestClient client;
    // The server pauses before it accepts; the clock starts once it serves.
    if (!client.Connect(port, 10s) || !Pump([&] { return session.connected == 1; }, 10s))
        return figures;
    // As a field unit sends: each packet leaves at once.
    int on = 1;
    setsockopt(client.Handle(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);

    std::vector<Clock::time_point> sent(clip.packets.size());
    std::atomic<bool> done{false};
    Clock::time_point start = Clock::now();
    std::thread sender([&] {
        for (size_t i = 0; i < clip.packets.size(); ++i) {
            if (paced)
                std::this_thread::sleep_until(start + i * 1000000us / kFrameRate);
            else
                while (i >= server->VideoCounters().draws + kAhead)
                    std::this_thread::sleep_for(200us);
            const CMediaPacket& p = clip.packets[i];
            client.SendPacket(kPacketVideo, p.key, uint16_t(clip.width), uint16_t(clip.height),
                              p.data);
            sent[i] = Clock::now();
        }
        done = true;
    });
    const uint32_t total = uint32_t(clip.packets.size());
    Pump([&] { return done && server->VideoCounters().draws >= total; }, 120s);
    // Let the display take up the last picture.
    Pump([&] { return !surface.GetCounters().pending; }, 2s);
    sender.join();

    figures.pictures = server->VideoCounters().pictures;
    figures.painted = surface.GetCounters().painted;
    uint32_t handed = std::min<uint32_t>(window.count, kFrames);
    if (handed > 0)
        figures.fps = handed / (Ms(window.handed[handed - 1] - start) / 1000);
    for (uint32_t i = 0; i < handed; ++i) {
        figures.toHanded.push_back(Ms(window.handed[i] - sent[i]));
        figures.presentMs.push_back(window.presentMs[i]);
        if (surface.drawn[i] != Clock::time_point{})
            figures.toDrawn.push_back(Ms(surface.drawn[i] - sent[i]));
    }

    std::vector<CGateway::PictureTiming> timings;
    server->PictureTimings(0, timings);
    for (const CGateway::PictureTiming& t : timings) {
        figures.decodeMs.push_back(t.drawMicros / 1000.0);
        if (t.latencyMicros != CGateway::PictureTiming::kUnknown)
            figures.serverLatencyMs.push_back(t.latencyMicros / 1000.0);
    }

    server->Stop(30000);
    return figures;
}

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    bool full = argc > 1 && std::strcmp(argv[1], "--full") == 0;
    DrawRect rect = full ? DrawRect{0, 0, 1920, 1080} : DrawRect{1, 1, 360, 288};
    QSize windowSize = full ? QSize(1920, 1080) : QSize(362, 290);
    av_log_set_level(AV_LOG_QUIET);

    std::printf("video path benchmark: %d frames per clip at %d fps, libx264 zero latency, 4 "
                "slices; drawn into %s (%d x %d at %d, %d)\n",
                kFrames, kFrameRate, full ? "a full window" : "the panel", rect.width, rect.height,
                rect.left, rect.top);
    Clip clips[] = {{"1080p30", 1920, 1080, 8000000, kFrames, kFrameRate, {}},
                    {"720p30", 1280, 720, 4000000, kFrames, kFrameRate, {}}};
    for (Clip& clip : clips) {
        bench::MakeCameraClip(clip);
        if (clip.packets.size() != size_t(kFrames)) {
            std::printf("%s: could not make the clip\n", clip.name);
            continue;
        }
        size_t bytes = 0;
        for (auto& p : clip.packets)
            bytes += p.data.size();
        std::printf("\n%s: %d x %d, %.2f Mbit/s\n", clip.name, clip.width, clip.height,
                    bytes * 8.0 / (double(kFrames) / kFrameRate) / 1e6);

        // Alternating rounds, best of each, so that a passing load on the
        // machine does not favour one side.
        DecodeAlone(clip, false); // warm-up
        DecodeFigures slice, frame;
        PathFigures unpaced;
        for (int round = 0; round < 3; ++round) {
            DecodeFigures s = DecodeAlone(clip, false);
            if (s.fps > slice.fps)
                slice = s;
            PathFigures u = RunPath(clip, rect, windowSize, false);
            if (u.fps > unpaced.fps)
                unpaced = u;
            DecodeFigures f = DecodeAlone(clip, true);
            if (f.fps > frame.fps)
                frame = f;
        }
        PathFigures paced = RunPath(clip, rect, windowSize, true);
        const DecodeFigures pacedAlone = DecodeAlone(clip, false, true);

        std::printf("  best of 3 rounds each:\n");
        std::printf("  libavcodec alone, 2 slice threads, low delay: %7.1f fps (median %.2f ms "
                    "per packet)\n",
                    slice.fps, slice.medianMs);
        std::printf("  libavcodec alone, 2 frame threads (reference): %6.1f fps\n", frame.fps);
        std::printf("  whole path, unpaced over 127.0.0.1:           %7.1f fps (%u pictures, "
                    "display drew %u)\n",
                    unpaced.fps, unpaced.pictures, unpaced.painted);
        std::printf("  ratio whole path / libavcodec alone:          %7.2f (goal >= 0.85)\n",
                    unpaced.fps / slice.fps);
        std::printf("  latency, paced at %d fps, last byte received to picture drawn: median "
                    "%.2f ms, p99 %.2f ms over %zu pictures (goal: median <= %.2f ms)\n",
                    kFrameRate, Percentile(paced.toDrawn, 50), Percentile(paced.toDrawn, 99),
                    paced.toDrawn.size(), slice.medianMs + 3);
        std::printf("  libavcodec alone, paced at %d fps like the path: median %.2f ms, p99 %.2f "
                    "ms per packet\n",
                    kFrameRate, pacedAlone.medianMs, pacedAlone.p99Ms);
        std::printf("  latency, last byte received to picture handed to the surface: median "
                    "%.2f ms, p99 %.2f ms\n",
                    Percentile(paced.toHanded, 50), Percentile(paced.toHanded, 99));
        std::printf("  the server's own timing of the last %zu: arrival to picture handed over "
                    "median %.2f ms, p99 %.2f ms; of that, decoding and handing over on the "
                    "picture thread median %.2f ms, p99 %.2f ms\n",
                    paced.decodeMs.size(),
                    Percentile(paced.serverLatencyMs, 50), Percentile(paced.serverLatencyMs, 99),
                    Percentile(paced.decodeMs, 50), Percentile(paced.decodeMs, 99));
        std::printf("  picture handed to the surface (Present): median %.2f ms, p99 %.2f ms\n",
                    Percentile(paced.presentMs, 50), Percentile(paced.presentMs, 99));
    }
    return 0;
}
