// The video channel drawing real H.264 into a real video surface (Xvfb),
// alone and behind a real stream server on 127.0.0.1.
#include "codec/CVideoRenderer.h"
#include "core/CErrorHandler.h"
#include "gateway/CGateway.h"
#include "core/NalUnits.h"
#include "platform/video/VideoSurface.h"
#include "support/OddSizedVideo.h"
#include "support/RecordingLine.h"
#include "support/TestClient.h"
#include "support/VideoCheck.h"
#include "tools/media/CH264Encoder.h"
#include "tools/media/I420Picture.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QImage>
#include <QWindow>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

using media::CH264Encoder;
using media::CMediaPacket;
using media::PatternBoxLeft;
using media::PatternBoxSide;
using media::PatternPicture;
using media::SolidPicture;
using media::YuvFromRgb;
using platform::CVideoSurface;
using platform::DrawRect;
using testing_support::FreePort;
using testing_support::RecordingLine;
using testing_support::TestClient;
using namespace std::chrono_literals;
using namespace media;
using namespace testing_support;

namespace {

class VideoChannelTest : public ::testing::Test {
protected:
    void SetUp() override {
        EnsureApplication();
        ClearSessionContext(session);
        playback = DefaultWaveFormat();
        capture = DefaultWaveFormat();
        session.playbackFormat = &playback;
        session.captureFormat = &capture;
        session.outputDevice = -1;
        SetSessionAudioSourceName(session, u"(none)");
        // The panel: the picture goes at (1, 1) in the test card's size.
        panel = NewSurface(362, 290);
        ASSERT_NE(panel, nullptr);
        PointAt(panel.get(), kPanelRect);
    }

    void TearDown() override {
        if (server) {
            server->Stop(30000);
            server.reset();
        }
        renderer.Close();
    }

    static std::unique_ptr<CVideoSurface> NewSurface(int width, int height) {
        auto surface = std::make_unique<CVideoSurface>();
        surface->resize(width, height);
        surface->show();
        if (!Pump([&] { return surface->windowHandle() && surface->windowHandle()->isExposed(); }))
            return nullptr;
        return surface;
    }

    // What the console writes when it picks a target.
    void PointAt(CVideoSurface* surface, const DrawRect& r) {
        session.videoWindow = surface;
        session.drawLeft = r.left;
        session.drawTop = r.top;
        session.drawWidth = r.width;
        session.drawHeight = r.height;
    }

    int32_t OpenRenderer(int width, int height) {
        session.videoWidth = width;
        session.videoHeight = height;
        return renderer.Open(&session);
    }

    void Draw(const CMediaPacket& packet) {
        renderer.Draw(packet.data.data(), uint32_t(packet.data.size()), packet.key ? 1 : 0);
    }

    // The picture on the surface once it has taken up the newest one.
    static QImage Shown(CVideoSurface* surface) {
        EXPECT_TRUE(Pump([&] { return !surface->GetCounters().pending; }));
        return surface->grabFramebuffer();
    }

    void StartServer() {
        port = FreePort();
        session.port = port;
        SetSessionAddress(session, "127.0.0.1");
        server = std::make_unique<CGateway>(&session);
        ASSERT_TRUE(server->Start(0));
        ASSERT_TRUE(client.Connect(port));
    }

    bool Send(const CMediaPacket& packet, uint16_t width, uint16_t height) {
        return client.SendPacket(kPacketVideo, packet.key, width, height, packet.data);
    }

    // Sends one packet and waits until the server has drawn it.
    void SendAndWait(const CMediaPacket& packet, uint16_t width, uint16_t height) {
        uint32_t before = server->VideoCounters().draws;
        ASSERT_TRUE(Send(packet, width, height));
        ASSERT_TRUE(testing_support::WaitUntil(
            [&] { return server->VideoCounters().draws > before; }, 10s));
    }

    static constexpr DrawRect kPanelRect{1, 1, 360, 288};
    SessionContext session;
    WAVEFORMATEX playback{};
    WAVEFORMATEX capture{};
    std::unique_ptr<CVideoSurface> panel;
    CVideoRenderer renderer;
    uint16_t port = 0;
    std::unique_ptr<CGateway> server;
    TestClient client;
};

// Passes pictures on to a window, but holds the drawing thread while closed:
// pictures then come faster than they are drawn, as on a busy machine.
class CGateWindow : public platform::CVideoWindow {
public:
    explicit CGateWindow(platform::CVideoWindow* to) : target(to) {}
    using platform::CVideoWindow::Present;
    void Present(const platform::PicturePlanes& picture, const platform::DrawRect& dst,
                 bool keyFrame) override {
        std::unique_lock hold(mutex);
        changed.wait(hold, [this] { return open; });
        hold.unlock();
        target->Present(picture, dst, keyFrame);
    }
    void Set(bool isOpen) {
        {
            std::lock_guard guard(mutex);
            open = isOpen;
        }
        changed.notify_all();
    }

private:
    platform::CVideoWindow* target;
    std::mutex mutex;
    std::condition_variable changed;
    bool open = true;
};

} // namespace

TEST_F(VideoChannelTest, ImageSizeFollowsTheHeader) {
    EXPECT_EQ(OpenRenderer(320, 240), 1);
    EXPECT_EQ(renderer.BufferSize(), 115200);
    renderer.Close();
    EXPECT_EQ(OpenRenderer(175, 99), 1);
    EXPECT_EQ(renderer.BufferSize(), 25987) << "175 x 99 x 3 / 2, truncated";
    renderer.Close();
    EXPECT_EQ(renderer.BufferSize(), 0);
    EXPECT_EQ(CVideoRenderer::ImageSize(4096, 2304), 14155776);
    EXPECT_EQ(CVideoRenderer::ImageSize(8192, 1152), 14155776);
}

TEST_F(VideoChannelTest, UnusableHeaderSizesLayOutThePictureAtTheStreamsSize) {
    CH264Encoder maker(320, 240);
    ASSERT_TRUE(maker.Ok());
    CMediaPacket key = maker.Encode(Solid(320, 240, kRed), true);
    const std::pair<int, int> sizes[] = {{0, 0},       {0, 240},    {320, 0},    {65535, 65535},
                                         {65535, 2},   {2, 65535},  {-320, 240}, {8194, 16},
                                         {8192, 4322}, {4098, 2304}};
    for (auto [w, h] : sizes) {
        EXPECT_EQ(OpenRenderer(w, h), 1) << w << " x " << h << ": the decoder opens";
        EXPECT_EQ(renderer.BufferSize(), 0) << w << " x " << h << ": nothing laid out";
        EXPECT_EQ(renderer.GetRefusals().causes, CVideoRenderer::kHeaderSizeRefused);
        EXPECT_EQ(renderer.GetRefusals().headerWidth, w);
        Draw(key);
        EXPECT_EQ(renderer.Width(), 320) << w << " x " << h;
        EXPECT_EQ(renderer.Height(), 240) << w << " x " << h;
        renderer.Close();
    }
    EXPECT_EQ(renderer.GetCounters().pictures, std::size(sizes));
    EXPECT_TRUE(PixelIs(Shown(panel.get()), 100, 100, kRed));
    // The largest size allowed is laid out as announced.
    EXPECT_EQ(OpenRenderer(4096, 2304), 1);
    EXPECT_EQ(renderer.BufferSize(), 14155776);
    EXPECT_EQ(renderer.GetRefusals().causes, 0u);
    renderer.Close();

    // A stream beyond the limits is refused whatever its header says.
    CH264Encoder wide(8200, 16);
    ASSERT_TRUE(wide.Ok());
    EXPECT_EQ(OpenRenderer(0, 0), 1);
    Draw(wide.Encode(Solid(8200, 16, kRed), true));
    EXPECT_EQ(renderer.GetRefusals().causes,
              CVideoRenderer::kHeaderSizeRefused | CVideoRenderer::kStreamSizeRefused);
    EXPECT_EQ(renderer.GetRefusals().streamWidth, 8200);
    EXPECT_EQ(renderer.GetCounters().pictures, std::size(sizes));
}

TEST_F(VideoChannelTest, OddSizedStreamFillsItsOddSizedImage) {
    CH264Encoder maker(testing_support::OddSizedMonochrome());
    ASSERT_TRUE(maker.Ok());
    ASSERT_EQ(OpenRenderer(175, 99), 1);
    std::vector<uint8_t> grey(25851, 128);
    for (int i = 0; i < 175 * 99; ++i)
        grey[i] = 180;
    Draw(maker.Encode(grey, true));
    EXPECT_EQ(renderer.GetCounters().pictures, 1u);
    EXPECT_EQ(renderer.Width(), 175);
    EXPECT_EQ(renderer.Height(), 99);
    EXPECT_EQ(renderer.BufferSize(), 25987);
    QImage image = Shown(panel.get());
    int level = qRound((180 - 16) * 255 / 219.0);
    EXPECT_TRUE(PixelIs(image, 180, 140, {level, level, level}, 6));
    EXPECT_TRUE(PixelIs(image, 0, 0, kBlack, 0));
}

TEST_F(VideoChannelTest, StreamOfAnotherSizeReopensAtThatSize) {
    CH264Encoder large(640, 360);
    ASSERT_TRUE(large.Ok());
    ASSERT_EQ(OpenRenderer(320, 240), 1);
    Draw(large.Encode(PatternPicture(640, 360, 0), true));
    EXPECT_EQ(renderer.Width(), 640);
    EXPECT_EQ(renderer.Height(), 360);
    EXPECT_EQ(renderer.BufferSize(), 345600);
    ExpectPattern(Shown(panel.get()), kPanelRect, 640, 360, 0);
    Draw(large.Encode(PatternPicture(640, 360, 1)));
    ExpectPattern(Shown(panel.get()), kPanelRect, 640, 360, 1);

    // A stream smaller than its header: the picture keeps its own size.
    renderer.Close();
    CH264Encoder small(160, 120);
    ASSERT_TRUE(small.Ok());
    ASSERT_EQ(OpenRenderer(1280, 720), 1);
    Draw(small.Encode(PatternPicture(160, 120, 2), true));
    EXPECT_EQ(renderer.Width(), 160);
    ExpectPattern(Shown(panel.get()), kPanelRect, 160, 120, 2);
    EXPECT_EQ(renderer.GetCounters().pictures, 3u);
}

TEST_F(VideoChannelTest, RectangleIsReadAtEveryDraw) {
    CH264Encoder maker(320, 240);
    ASSERT_TRUE(maker.Ok());
    ASSERT_EQ(OpenRenderer(320, 240), 1);
    Draw(maker.Encode(Solid(320, 240, kPurple), true));
    QImage first = Shown(panel.get());
    EXPECT_TRUE(PixelIs(first, 20, 20, kPurple));
    PointAt(panel.get(), {200, 150, 100, 100});
    Draw(maker.Encode(Solid(320, 240, kPurple)));
    QImage second = Shown(panel.get());
    EXPECT_TRUE(PixelIs(second, 20, 20, kBlack, 0));
    EXPECT_TRUE(PixelIs(second, 250, 200, kPurple));
}

TEST_F(VideoChannelTest, DrawWithoutAWindowOrAfterCloseIsHarmless) {
    CH264Encoder maker(320, 240);
    ASSERT_TRUE(maker.Ok());
    session.videoWindow = nullptr;
    ASSERT_EQ(OpenRenderer(320, 240), 1);
    Draw(maker.Encode(Solid(320, 240, kRed), true));
    EXPECT_EQ(renderer.GetCounters().pictures, 0u);
    renderer.Close();
    renderer.Close();
    EXPECT_EQ(renderer.GetCounters().closes, 1u);
    Draw(maker.Encode(Solid(320, 240, kRed)));
    uint8_t garbage[] = {0, 0, 0, 1, 0x67, 0xFF, 0xFF};
    renderer.Draw(garbage, sizeof garbage, 1);
    renderer.Draw(nullptr, 0, 0);
    EXPECT_EQ(renderer.GetCounters().draws, 4u);
    EXPECT_EQ(renderer.GetCounters().pictures, 0u);
}

TEST_F(VideoChannelTest, ServerDrawsEveryPacketWithoutDelayIntoThePanel) {
    CH264Encoder maker(320, 240);
    ASSERT_TRUE(maker.Ok());
    StartServer();
    // Each packet must show its own picture before the next one is sent.
    for (int i = 0; i < 12; ++i) {
        CMediaPacket packet = maker.Encode(PatternPicture(320, 240, i), i == 0);
        SendAndWait(packet, 320, 240);
        EXPECT_EQ(panel->GetCounters().presented, uint32_t(i + 1)) << "packet " << i;
        if (i % 4 == 0 || i == 11)
            ExpectPattern(Shown(panel.get()), kPanelRect, 320, 240, i);
    }
    EXPECT_EQ(session.videoWidth, 320);
    EXPECT_EQ(server->VideoCounters().opens, 1u);
    EXPECT_EQ(server->VideoCounters().pictures, 12u);
}

TEST_F(VideoChannelTest, KeyFramesAreDrawnWithTheKeyFlag) {
    CH264Encoder::Settings settings;
    settings.keyInterval = 3;
    CH264Encoder maker(settings);
    ASSERT_TRUE(maker.Ok());
    StartServer();
    for (int i = 0; i < 8; ++i) {
        CMediaPacket packet = maker.Encode(PatternPicture(320, 240, i));
        EXPECT_EQ(packet.key, i % 3 == 0) << "packet " << i;
        SendAndWait(packet, 320, 240);
        ASSERT_EQ(panel->GetCounters().presented, uint32_t(i + 1));
        EXPECT_EQ(panel->GetCounters().lastKeyFrame, packet.key) << "packet " << i;
    }
}

TEST_F(VideoChannelTest, RejectedPacketDrawsNothingAndTheNextDraws) {
    CH264Encoder maker(320, 240);
    ASSERT_TRUE(maker.Ok());
    StartServer();
    SendAndWait(maker.Encode(Solid(320, 240, kRed), true), 320, 240);
    EXPECT_TRUE(PixelIs(Shown(panel.get()), 100, 100, kRed));

    std::vector<uint8_t> noise(3000);
    for (size_t i = 0; i < noise.size(); ++i)
        noise[i] = uint8_t(i * 7 + 3);
    SendAndWait({.key = true, .data = noise}, 320, 240);
    EXPECT_EQ(panel->GetCounters().presented, 1u) << "nothing drawn for the rejected packet";

    SendAndWait(maker.Encode(Solid(320, 240, kGreen)), 320, 240);
    EXPECT_EQ(panel->GetCounters().presented, 2u);
    EXPECT_TRUE(PixelIs(Shown(panel.get()), 100, 100, kGreen));
}

TEST_F(VideoChannelTest, SwitchingTargetsShowsTheNextPictureThereWithoutAKeyFrame) {
    CH264Encoder::Settings settings;
    settings.keyInterval = 250;
    CH264Encoder maker(settings);
    ASSERT_TRUE(maker.Ok());
    StartServer();
    for (int i = 0; i < 3; ++i)
        SendAndWait(maker.Encode(PatternPicture(320, 240, i)), 320, 240);
    ExpectPattern(Shown(panel.get()), kPanelRect, 320, 240, 2);

    // To full screen: another window, the rectangle covering it.
    auto full = NewSurface(640, 360);
    ASSERT_NE(full, nullptr);
    const DrawRect fullRect{0, 0, 640, 360};
    PointAt(full.get(), fullRect);
    server->MoveVideo();

    // No key frame comes for the rest of the test: the decoder goes on.
    CMediaPacket next = maker.Encode(PatternPicture(320, 240, 3));
    ASSERT_FALSE(next.key);
    SendAndWait(next, 320, 240);
    EXPECT_EQ(full->GetCounters().presented, 1u);
    EXPECT_EQ(panel->GetCounters().presented, 3u) << "the old target gets nothing more";
    QImage image = Shown(full.get());
    ExpectPattern(image, fullRect, 320, 240, 3);
    EXPECT_TRUE(PixelIs(image, 0, 0, kRed));
    EXPECT_TRUE(PixelIs(image, 639, 359, kWhite));

    // And back to the panel, and over again.
    for (int i = 4; i < 8; ++i) {
        const bool toPanel = i % 2 == 0;
        PointAt(toPanel ? panel.get() : full.get(), toPanel ? kPanelRect : fullRect);
        server->MoveVideo();
        SendAndWait(maker.Encode(PatternPicture(320, 240, i)), 320, 240);
        ExpectPattern(Shown(toPanel ? panel.get() : full.get()), toPanel ? kPanelRect : fullRect,
                      320, 240, i);
    }
    const auto counters = server->VideoCounters();
    EXPECT_EQ(counters.opens, 1u);
    EXPECT_EQ(counters.pictures, 8u) << "not one picture lost to a switch";
    session.videoWindow = nullptr;
    server->MoveVideo();
}

TEST_F(VideoChannelTest, RefusedHeaderSizeShowsTheStreamAtItsOwnSizeWithOneText) {
    CH264Encoder maker(320, 240);
    ASSERT_TRUE(maker.Ok());
    RecordingLine line;
    CErrorHandler handler(&line);
    session.errorHandler = &handler;
    StartServer();
    // 65535 x 65535 would ask for six gigabytes.
    SendAndWait(maker.Encode(PatternPicture(320, 240, 0), true), 65535, 65535);
    SendAndWait(maker.Encode(PatternPicture(320, 240, 1)), 65535, 65535);
    EXPECT_EQ(server->VideoCounters().pictures, 2u);
    ExpectPattern(Shown(panel.get()), kPanelRect, 320, 240, 1);
    // A full-screen switch keeps the channel: still one text.
    server->MoveVideo();
    SendAndWait(maker.Encode(Solid(320, 240, kBlue), true), 0, 0);
    EXPECT_EQ(server->VideoCounters().pictures, 3u);
    EXPECT_TRUE(PixelIs(Shown(panel.get()), 100, 100, kBlue));
    EXPECT_TRUE(session.connected == 1) << "the connection goes on";
    auto texts = line.Texts();
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_EQ(texts[0], u"The field unit announced a video size of 65535 x 65535, which is "
                        u"refused; the picture takes the stream's own size.");
    session.errorHandler = nullptr;
    session.videoWindow = nullptr;
    server->MoveVideo();
}

TEST_F(VideoChannelTest, HeaderSizeDifferentFromTheStreamStillDrawsTheStream) {
    CH264Encoder maker(640, 360);
    ASSERT_TRUE(maker.Ok());
    StartServer();
    SendAndWait(maker.Encode(PatternPicture(640, 360, 0), true), 176, 144);
    SendAndWait(maker.Encode(PatternPicture(640, 360, 1)), 176, 144);
    EXPECT_EQ(server->VideoCounters().pictures, 2u);
    ExpectPattern(Shown(panel.get()), kPanelRect, 640, 360, 1);
}

TEST_F(VideoChannelTest, AfterAnOverflowPicturesResumeWhereTheStreamSaysWithATextARun) {
    // Intra refresh, and no header with the key flag: only the pictures tell
    // where decoding can start again.
    CH264Encoder::Settings settings;
    settings.keyInterval = 100;
    settings.intraRefresh = true;
    CH264Encoder maker(settings);
    ASSERT_TRUE(maker.Ok());
    std::vector<CMediaPacket> clip;
    // A burst beyond what the picture queue takes, after a few pictures.
    const size_t burstEnd = CVideoWorker::kMaxPackets + 100;
    for (size_t i = 0; i < burstEnd + 230; ++i) {
        clip.push_back(maker.Encode(PatternPicture(320, 240, int(i))));
        clip.back().key = false;
    }
    size_t resume = burstEnd;
    while (resume < clip.size() &&
           !ReadPictureStart(clip[resume].data.data(), clip[resume].data.size()).chainStart)
        ++resume;
    ASSERT_LE(resume + settings.keyInterval, clip.size()) << "a whole sweep after the burst";
    RecordingLine line;
    CErrorHandler handler(&line);
    session.errorHandler = &handler;
    CGateWindow gate(panel.get());
    session.videoWindow = &gate;
    StartServer();
    // The gate goes before the server: nothing draws into it after the test.
    struct Ungate {
        std::function<void()> off;
        ~Ungate() { off(); }
    } ungate{[&] {
        gate.Set(true);
        session.videoWindow = nullptr;
        server->MoveVideo();
    }};
    for (size_t i = 0; i < 3; ++i)
        SendAndWait(clip[i], 320, 240);

    // Far more at once than pictures are drawn: the queue overflows, and
    // what follows a dropped picture goes too.
    gate.Set(false);
    std::vector<uint8_t> burst;
    for (size_t i = 3; i < burstEnd; ++i) {
        auto h = PacketHeader::Make(kFieldUnitMagic, kPacketVideo, false,
                                    uint32_t(clip[i].data.size()), 320, 240);
        burst.insert(burst.end(), h.bytes, h.bytes + sizeof h.bytes);
        burst.insert(burst.end(), clip[i].data.begin(), clip[i].data.end());
    }
    ASSERT_TRUE(client.SendBytes(burst.data(), burst.size()));
    const bool read = WaitUntil([&] { return server->PacketsRead() == burstEnd; }, 30s);
    gate.Set(true);
    ASSERT_TRUE(read);
    ASSERT_TRUE(WaitUntil(
        [&] {
            CVideoWorker::Counters c = server->VideoQueueCounters();
            return c.waiting == 0;
        },
        30s));
    const uint32_t dropped = server->VideoQueueCounters().dropped;
    ASSERT_GT(dropped, 0u);

    // The pictures up to the next recovery point are lost on the way; from
    // it on pictures are shown again, at the latest once its sweep is over.
    const uint32_t presented = panel->GetCounters().presented;
    size_t next = resume;
    while (next < clip.size() && panel->GetCounters().presented == presented &&
           !HasFatalFailure())
        SendAndWait(clip[next++], 320, 240);
    EXPECT_GT(panel->GetCounters().presented, presented) << "the picture resumes";
    EXPECT_EQ(server->VideoQueueCounters().dropped, dropped);
    // One text for each run of drops, told when it ends, and together they
    // name every picture dropped. Recovery points within the burst end runs
    // of their own.
    uint32_t told = 0;
    const std::u16string head = u"Pictures fell behind: ";
    const std::u16string tail = u" dropped, up to the next picture decoding could start from.";
    for (const std::u16string& text : line.Texts()) {
        ASSERT_EQ(text.rfind(head, 0), 0u) << QString::fromStdU16String(text).toStdString();
        ASSERT_GT(text.size(), head.size() + tail.size()) << QString::fromStdU16String(text).toStdString();
        ASSERT_EQ(text.substr(text.size() - tail.size()), tail) << QString::fromStdU16String(text).toStdString();
        told += uint32_t(
            std::stoul(QString::fromStdU16String(
            text.substr(head.size(), text.size() - head.size() - tail.size())).toStdString()));
    }
    EXPECT_EQ(told, dropped);
    EXPECT_LE(line.Texts().size(), 1 + burstEnd / settings.keyInterval) << "not one a picture";
    session.errorHandler = nullptr;
}
