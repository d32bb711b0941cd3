// The link's statistics against a stream whose content the test knows: a
// real stream server on 127.0.0.1 drawing into a real video surface (Xvfb)
// and playing on the test sound server, a field unit of the tests' own.
#include "core/CErrorHandler.h"
#include "gateway/CGateway.h"
#include "instruments/CLinkStatistics.h"
#include "platform/video/VideoSurface.h"
#include "support/RecordingLine.h"
#include "support/TestClient.h"
#include "support/VideoCheck.h"
#include "tools/media/AacTone.h"
#include "tools/media/CH264Encoder.h"

#include <gtest/gtest.h>

#include <QWindow>

#include <memory>
#include <numeric>

using namespace std::chrono_literals;
using namespace media;
using namespace testing_support;

namespace {

class LinkStatisticsTest : public ::testing::Test {
protected:
    void SetUp() override {
        EnsureApplication();
        surface = std::make_unique<platform::CVideoSurface>();
        surface->resize(362, 290);
        surface->show();
        ASSERT_TRUE(
            Pump([&] { return surface->windowHandle() && surface->windowHandle()->isExposed(); }));
        playback = DefaultWaveFormat();
        capture = DefaultWaveFormat();
        ClearSessionContext(session);
        SetSessionAddress(session, "127.0.0.1");
        session.playbackFormat = &playback;
        session.captureFormat = &capture;
        session.outputDevice = -1;
        SetSessionAudioSourceName(session, u"(none)");
        session.errorHandler = &handler;
        session.videoWindow = surface.get();
        session.drawLeft = session.drawTop = 1;
        session.drawWidth = 360;
        session.drawHeight = 288;
    }

    void StartServer() {
        StopServer();
        session.port = FreePort();
        server = std::make_unique<CGateway>(&session);
        ASSERT_TRUE(server->Start(0));
        ASSERT_TRUE(client.Connect(uint16_t(session.port)));
    }

    void StopServer() {
        client.Close();
        if (!server)
            return;
        server->Stop(30000);
        // As the console does: the last counts, then no server.
        Sample();
        server.reset();
        Sample();
    }

    void TearDown() override { StopServer(); }

    void Sample() {
        const platform::CVideoSurface::Counters c = surface->GetCounters();
        statistics.Sample(server.get(), {c.presented, c.painted});
    }

    // Sends the packets; the sum of their payloads.
    uint64_t Send(uint8_t type, uint16_t v1, uint16_t v2, const std::vector<Bytes>& packets,
                  const std::vector<bool>& keys = {}) {
        uint64_t bytes = 0;
        for (size_t i = 0; i < packets.size(); ++i) {
            EXPECT_TRUE(client.SendPacket(type, i < keys.size() && keys[i], v1, v2, packets[i]));
            bytes += packets[i].size();
        }
        return bytes;
    }

    std::unique_ptr<platform::CVideoSurface> surface;
    SessionContext session;
    WAVEFORMATEX playback{}, capture{};
    RecordingLine line;
    CErrorHandler handler{&line};
    std::unique_ptr<CGateway> server;
    TestClient client;
    CLinkStatistics statistics;
};

} // namespace

TEST_F(LinkStatisticsTest, CountWhatAKnownStreamCarriesAndKeepCountingOverSessions) {
    CH264Encoder maker(320, 240);
    ASSERT_TRUE(maker.Ok());
    std::vector<Bytes> pictures;
    std::vector<bool> keys;
    for (const CMediaPacket& p : maker.EncodePattern(20)) {
        pictures.push_back(p.data);
        keys.push_back(p.key);
    }
    // A quarter of full scale: -12 dBFS.
    const std::vector<Bytes> tone = MakeAacTone(48000, 2, 1000.0, {0.25}, 0.8);
    ASSERT_FALSE(tone.empty());

    session.receiveLatencyMs = 400;
    ASSERT_NO_FATAL_FAILURE(StartServer());
    ASSERT_TRUE(WaitUntil([&] { return server->ConnectedPeer().address.size() > 0; }));
    const uint64_t videoBytes = Send(kPacketVideo, 320, 240, pictures, keys);
    const uint64_t audioBytes = Send(kPacketAudio, 48000, 2, tone);
    ASSERT_TRUE(client.SendPacket(0x01, false, 0, 0, Bytes(100, 7)));
    ASSERT_TRUE(Pump([&] {
        return server->VideoQueueCounters().handled == pictures.size() &&
               server->AudioCounters().packets == tone.size() &&
               server->PacketsRead() == pictures.size() + tone.size() + 1;
    })) << "the server did not take every packet";
    // The sound was queued just now: the programme meter reads it live.
    const CLevelMeter::Reading programme = server->ProgrammeMeter().Read();
    ASSERT_TRUE(programme.live);
    for (int c = 0; c < 2; ++c) {
        EXPECT_NEAR(programme.channel[size_t(c)].peak, -12.0, 1.0);
        EXPECT_NEAR(programme.channel[size_t(c)].loudness, -12.0, 1.0);
    }
    EXPECT_FALSE(server->ReturnMeter().Read().open) << "no studio source, no return meter";
    Sample();

    CLinkStatistics::Snapshot s = statistics.Latest();
    CLinkStatistics::Totals t = statistics.GetTotals();
    EXPECT_TRUE(s.connected);
    EXPECT_EQ(s.peer.rfind("127.0.0.1:", 0), 0u) << s.peer;
    EXPECT_EQ(t.connections, 1u);
    EXPECT_EQ(t.videoBytes, videoBytes);
    EXPECT_EQ(t.audioBytes, audioBytes);
    EXPECT_EQ(t.picturesReceived, pictures.size());
    EXPECT_EQ(t.picturesDecoded, pictures.size());
    EXPECT_EQ(t.refused[CLinkStatistics::kUnknownType], 1u);
    EXPECT_EQ(t.refused[CLinkStatistics::kNotDecoded], 0u);
    ASSERT_TRUE(s.decodeMedianMs && s.latencyMedianMs && s.latencyP95Ms);
    EXPECT_GT(*s.decodeMedianMs, 0.0);
    EXPECT_GE(*s.latencyP95Ms, *s.latencyMedianMs);
    EXPECT_EQ(statistics.FreshLatencies().size(), pictures.size());
    // The latency chosen, and the sound held at it, its device's buffer in.
    EXPECT_EQ(s.receiveLatencyMs, 400);
    EXPECT_NEAR(s.latencyTargetMs, 400.0, 1.0);

    // A header that is not a field unit's ends the connection.
    ASSERT_TRUE(
        client.SendPacket(PacketHeader::Make(kReturnAudioMagic, kPacketVideo, false, 0, 0, 0), {}));
    ASSERT_TRUE(WaitUntil([&] { return !session.connected; }));
    Sample();
    t = statistics.GetTotals();
    EXPECT_FALSE(statistics.Latest().connected);
    EXPECT_EQ(t.refused[CLinkStatistics::kBadHeader], 1u);

    // The next session's server adds to what was counted.
    ASSERT_NO_FATAL_FAILURE(StartServer());
    ASSERT_TRUE(client.SendPacket(kPacketVideo, keys[0], 320, 240, pictures[0]));
    ASSERT_TRUE(Pump([&] { return server->VideoQueueCounters().handled == 1; }));
    Sample();
    const CLinkStatistics::Totals later = statistics.GetTotals();
    EXPECT_EQ(later.connections, 2u);
    EXPECT_EQ(later.picturesReceived, pictures.size() + 1);
    EXPECT_EQ(later.videoBytes, videoBytes + pictures[0].size());
    EXPECT_EQ(later.audioBytes, audioBytes);
    EXPECT_EQ(later.refused[CLinkStatistics::kBadHeader], 1u);
    // The display took up pictures of both sessions.
    EXPECT_GE(later.picturesPresented, pictures.size());
}
