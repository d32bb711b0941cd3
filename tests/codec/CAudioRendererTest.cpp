// Audio playback: real AAC made with the system's libavcodec, sent through a
// real stream server on 127.0.0.1, played on the "Studio_Out" sink and heard
// through that sink's monitor. The decoder and the renderer are also driven
// directly where the server would only hide what happens.
#include "codec/CAudioRenderer.h"
#include "codec/CAudioDecoder.h"
#include "core/CErrorHandler.h"
#include "gateway/CGateway.h"
#include "platform/audio/AudioOut.h"
#include "support/MonitorRecorder.h"
#include "support/TestClient.h"
#include "support/ToneMeasure.h"
#include "tools/media/AacTone.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <functional>
#include <memory>
#include <random>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using namespace media;
using namespace testing_support;
using Clock = std::chrono::steady_clock;

namespace {

// Playback follows its queue by resampling, within 1 %: the stream is sent a
// little ahead, so the pitch may sit that far up while the queue settles.
constexpr double kPitchTolerance = 12.0;

class SilentLine : public CErrorLine {
public:
    void SetText(const std::u16string&) override {}
};

WAVEFORMATEX Pcm(uint32_t rate, uint16_t channels) {
    WAVEFORMATEX f = DefaultWaveFormat();
    f.nChannels = channels;
    f.nSamplesPerSec = rate;
    f.nBlockAlign = static_cast<uint16_t>(channels * 2);
    f.nAvgBytesPerSec = rate * f.nBlockAlign;
    return f;
}

Bytes Concat(const std::vector<Bytes>& packets, size_t first, size_t count) {
    Bytes all;
    for (size_t i = first; i < first + count && i < packets.size(); ++i)
        all.insert(all.end(), packets[i].begin(), packets[i].end());
    return all;
}

class AudioRendererTest : public ::testing::Test {
protected:
    void SetUp() override {
        playback = DefaultWaveFormat();
        capture = DefaultWaveFormat();
        ClearSessionContext(session);
        port = FreePort();
        session.port = port;
        SetSessionAddress(session, "127.0.0.1");
        session.playbackFormat = &playback;
        session.captureFormat = &capture;
        session.outputDevice = platform::CAudioOut::FindDevice("Studio_Out");
        ASSERT_GE(session.outputDevice, 0) << "run under scripts/headless.sh";
        SetSessionAudioSourceName(session, u"(none)");
        session.errorHandler = new CErrorHandler(&line);
    }

    void TearDown() override {
        client.Close();
        if (server) {
            server->Stop(30000);
            server.reset();
        }
        delete session.errorHandler.load();
        session.errorHandler = nullptr;
    }

    // Records the sink's monitor, and waits until a stream on the sink plays at
    // once (see WarmUpAudioOutput).
    void Listen(int rate, int channels) {
        ASSERT_TRUE(monitor.Start("studio_out.monitor", rate, channels));
        ASSERT_TRUE(WarmUpAudioOutput("Studio_Out"));
    }

    void StartServer() {
        server = std::make_unique<CGateway>(&session);
        ASSERT_TRUE(server->Start(0));
    }

    // Connects and waits until the server has taken the connection, so that
    // the stream does not pile up in the socket meanwhile.
    void Connect() {
        ASSERT_TRUE(client.Connect(port));
        ASSERT_TRUE(WaitUntil([&] { return session.connected == 1; }, 10s));
    }

    // Sends the packets as a field unit does, in real time, a little ahead.
    void Stream(const std::vector<Bytes>& packets, uint16_t rate, uint16_t channels,
                int framesPerPacket = 1, const std::function<void(size_t)>& each = {}) {
        const auto start = Clock::now();
        const double seconds = 1024.0 * framesPerPacket / rate;
        for (size_t i = 0; i < packets.size(); ++i) {
            auto due = start + std::chrono::duration<double>(seconds * i - 0.1);
            std::this_thread::sleep_until(std::chrono::time_point_cast<Clock::duration>(due));
            ASSERT_TRUE(client.SendPacket(kPacketAudio, false, rate, channels, packets[i]));
            if (each)
                each(i);
        }
    }

    // Waits until every packet sent reached the renderer and played out.
    void WaitPlayed(uint32_t packets) {
        ASSERT_TRUE(WaitUntil([&] { return server->AudioCounters().packets == packets; }, 10s));
        ASSERT_TRUE(WaitUntil([&] { return server->AudioCounters().latencyMicros < 100000; }, 10s));
        std::this_thread::sleep_for(400ms); // the device's and the monitor's own delay
    }

    WAVEFORMATEX playback{}, capture{};
    SessionContext session;
    SilentLine line;
    uint16_t port = 0;
    std::unique_ptr<CGateway> server;
    TestClient client;
    MonitorRecorder monitor;
};

TEST_F(AudioRendererTest, ToneAt48000MonoIsHeardInTheFormatOfTheFirstPacket) {
    auto packets = MakeAacTone(48000, 1, 1000.0, {0.5}, 1.5);
    ASSERT_FALSE(packets.empty());
    Listen(48000, 1);
    StartServer();
    Connect();
    Stream(packets, 48000, 1);
    WaitPlayed(static_cast<uint32_t>(packets.size()));

    EXPECT_EQ(+playback.nSamplesPerSec, 48000u);
    EXPECT_EQ(+playback.nChannels, 1);
    EXPECT_EQ(+playback.nBlockAlign, 2);
    EXPECT_EQ(+playback.nAvgBytesPerSec, 96000u);
    auto counters = server->AudioCounters();
    EXPECT_EQ(counters.opens, 1u);
    EXPECT_EQ(counters.dropped, 0u);
    EXPECT_EQ(counters.queued, packets.size());

    std::vector<int16_t> heard = monitor.Samples();
    SoundRun run = LongestSound(heard, 1, 0, 48000);
    EXPECT_GT(run.Frames(), 48000u * 14 / 10) << "the whole tone, without a gap";
    Tone tone = MeasureTone(heard, 1, 0, 48000, run.first + 4800, run.end - 4800);
    EXPECT_NEAR(tone.frequency, 1000.0, kPitchTolerance);
    EXPECT_NEAR(tone.rms, 0.5 / std::sqrt(2.0), 0.05);
}

TEST_F(AudioRendererTest, ToneAt44100StereoKeepsEachChannel) {
    auto packets = MakeAacTone(44100, 2, 1000.0, {0.5, 0.25}, 1.5);
    ASSERT_FALSE(packets.empty());
    Listen(44100, 2);
    StartServer();
    Connect();
    Stream(packets, 44100, 2);
    WaitPlayed(static_cast<uint32_t>(packets.size()));

    EXPECT_EQ(+playback.nBlockAlign, 4);
    EXPECT_EQ(+playback.nAvgBytesPerSec, 176400u);
    std::vector<int16_t> heard = monitor.Samples();
    SoundRun run = LongestSound(heard, 2, 0, 44100);
    EXPECT_GT(run.Frames(), 44100u * 14 / 10);
    Tone left = MeasureTone(heard, 2, 0, 44100, run.first + 4410, run.end - 4410);
    Tone right = MeasureTone(heard, 2, 1, 44100, run.first + 4410, run.end - 4410);
    EXPECT_NEAR(left.frequency, 1000.0, kPitchTolerance);
    EXPECT_NEAR(right.frequency, 1000.0, kPitchTolerance);
    EXPECT_NEAR(left.rms, 0.5 / std::sqrt(2.0), 0.05);
    EXPECT_NEAR(right.rms, 0.25 / std::sqrt(2.0), 0.03);
}

TEST_F(AudioRendererTest, CloseWhileAudioIsQueuedSilencesItAtOnce) {
    // One packet of 40 frames: 0.85 s queued at once (a packet that finds the
    // queue short goes in whole, even past the queue limit).
    auto packets = MakeAacTone(48000, 1, 1000.0, {0.5}, 1.0, 40);
    ASSERT_GE(packets.size(), 1u);
    Listen(48000, 1);
    StartServer();
    Connect();
    ASSERT_TRUE(client.SendPacket(kPacketAudio, false, 48000, 1, packets[0]));
    ASSERT_TRUE(WaitUntil([&] { return server->AudioCounters().queued == 1; }, 10s));
    ASSERT_TRUE(WaitUntil(
        [&] { return LongestSound(monitor.Samples(), 1, 0, 48000).Frames() >= 4800; }, 10s));

    client.Close(); // the connection ends: the server closes the playback
    ASSERT_TRUE(WaitUntil([&] { return server->AudioCounters().closes == 1; }, 10s));
    size_t closedAt = monitor.Frames();
    ASSERT_TRUE(monitor.WaitForFrames(closedAt + 48000));
    std::vector<int16_t> heard = monitor.Samples();
    // Without the Close the tone would still be playing here.
    Tone after = MeasureTone(heard, 1, 0, 48000, closedAt + 48000 * 2 / 10, closedAt + 48000 / 2);
    EXPECT_LT(after.rms, 0.005) << "queued audio played on after Close";
}

TEST_F(AudioRendererTest, VolumeHalfHalvesBothChannels) {
    auto packets = MakeAacTone(44100, 2, 1000.0, {0.5}, 2.5);
    Listen(44100, 2);
    StartServer();
    EXPECT_EQ(server->GetVolume(), 0xFFFFFFFFu);
    Connect();
    size_t changedAt = 0;
    Stream(packets, 44100, 2, 1, [&](size_t i) {
        if (i == packets.size() / 2) {
            server->SetVolume(0x7FFF7FFF); // as the GUI thread does, mid-stream
            changedAt = monitor.Frames();
        }
    });
    WaitPlayed(static_cast<uint32_t>(packets.size()));
    EXPECT_EQ(server->GetVolume(), 0x7FFF7FFFu);

    std::vector<int16_t> heard = monitor.Samples();
    SoundRun run = LongestSound(heard, 2, 0, 44100);
    ASSERT_GT(run.Frames(), 44100u * 2);
    ASSERT_GT(changedAt, run.first + 44100 / 2);
    for (int c = 0; c < 2; ++c) {
        Tone full = MeasureTone(heard, 2, c, 44100, run.first + 4410, changedAt - 4410);
        Tone half = MeasureTone(heard, 2, c, 44100, changedAt + 44100 * 4 / 10, run.end - 4410);
        EXPECT_NEAR(full.rms, 0.5 / std::sqrt(2.0), 0.05) << "channel " << c;
        EXPECT_NEAR(half.rms / full.rms, 0.5, 0.04) << "channel " << c;
    }
}

TEST_F(AudioRendererTest, VolumeSetWithNoDeviceOpenIsHeardAfterTheNextOpen) {
    auto packets = MakeAacTone(44100, 2, 1000.0, {0.5}, 1.2);
    Listen(44100, 2);
    StartServer();
    server->SetVolume(0x7FFF7FFF); // right after Start, before any audio
    EXPECT_EQ(server->GetVolume(), 0x7FFF7FFFu);
    Connect();
    Stream(packets, 44100, 2);
    WaitPlayed(static_cast<uint32_t>(packets.size()));

    std::vector<int16_t> heard = monitor.Samples();
    SoundRun run = LongestSound(heard, 2, 0, 44100, 0.01);
    ASSERT_GT(run.Frames(), 44100u);
    for (int c = 0; c < 2; ++c) {
        Tone tone = MeasureTone(heard, 2, c, 44100, run.first + 4410, run.end - 4410);
        EXPECT_NEAR(tone.rms, 0.25 / std::sqrt(2.0), 0.03) << "channel " << c;
    }
}

// The renderer on its own, where the ring's positions can be seen.
class RingTest : public AudioRendererTest {
protected:
    void SetUp() override {
        AudioRendererTest::SetUp();
        playback = Pcm(48000, 1);
    }
};

TEST_F(RingTest, The33rdPacketReusesHeaderZeroOnceItHasPlayed) {
    auto packets = MakeAacTone(48000, 1, 1000.0, {0.5}, 1.0);
    ASSERT_GE(packets.size(), 33u);
    CAudioRenderer renderer(32);
    renderer.SetQueueLimitMs(0); // the ring itself is under test
    renderer.Open(&session);
    for (int i = 0; i < 32; ++i) {
        renderer.Play(packets[i].data(), static_cast<uint32_t>(packets[i].size()));
        EXPECT_EQ(renderer.NextHeader(), (i + 1) % 32);
    }
    EXPECT_EQ(renderer.GetCounters().queued, 32u);
    ASSERT_TRUE(WaitUntil([&] { return renderer.GetCounters().underruns >= 1; }, 10s));
    renderer.Play(packets[32].data(), static_cast<uint32_t>(packets[32].size()));
    EXPECT_EQ(renderer.GetCounters().queued, 33u);
    EXPECT_EQ(renderer.NextHeader(), 1);
    renderer.Close();
}

TEST_F(RingTest, APacketWhoseHeaderIsStillQueuedIsDroppedWithoutWaiting) {
    // 40 frames a packet: 32 of them queue over 27 seconds.
    auto packets = MakeAacTone(48000, 1, 1000.0, {0.5}, 30.0, 40);
    ASSERT_GE(packets.size(), 34u);
    CAudioRenderer renderer(32);
    renderer.SetQueueLimitMs(0); // the ring itself is under test
    renderer.Open(&session);
    for (int i = 0; i < 32; ++i)
        renderer.Play(packets[i].data(), static_cast<uint32_t>(packets[i].size()));
    ASSERT_EQ(renderer.GetCounters().queued, 32u);
    EXPECT_GT(renderer.GetCounters().latencyMicros, 20000000u);
    renderer.Play(packets[32].data(), static_cast<uint32_t>(packets[32].size()));
    renderer.Play(packets[33].data(), static_cast<uint32_t>(packets[33].size()));
    auto c = renderer.GetCounters();
    EXPECT_EQ(c.queued, 32u);
    EXPECT_EQ(c.dropped, 2u);
    EXPECT_EQ(renderer.NextHeader(), 0);
    renderer.Close();
    EXPECT_EQ(renderer.GetCounters().latencyMicros, 0u);
}

TEST_F(RingTest, ABurstNeverQueuesMoreThanTheLatencyAndItsLimit) {
    // Eight seconds of audio at once, as after a stall upstream; a chosen
    // latency of a second, which the playback reports and is held at.
    auto packets = MakeAacTone(48000, 1, 1000.0, {0.5}, 8.0);
    ASSERT_GE(packets.size(), 370u);
    CAudioRenderer renderer;
    renderer.SetQueueLimitMs(3000);
    renderer.SetReceiveLatencyMs(1000);
    renderer.Open(&session);
    uint32_t most = 0;
    for (auto& p : packets) {
        renderer.Play(p.data(), static_cast<uint32_t>(p.size()));
        most = std::max(most, renderer.GetCounters().latencyMicros);
    }
    // One packet (about 21 ms) may go in just under the limit.
    EXPECT_LE(most, (1000 + 3000 + 25) * 1000u);
    // Where packets came faster than the device skips (not on a slow or busy
    // machine), the limit dropped some, and only once the ring held it.
    const auto shed = renderer.GetCounters();
    EXPECT_GT(shed.dropped + shed.skips, 0u) << "the backlog is shed";
    if (shed.dropped > 0)
        EXPECT_GT(most, 3000 * 1000u) << "the ring holds the latency and the backlog";
    // The rest above the latency is skipped once the device takes it.
    ASSERT_TRUE(WaitUntil([&] { return renderer.GetCounters().skips > 0; }, 10s));
    ASSERT_TRUE(WaitUntil([&] {
        return renderer.GetCounters().latencyMicros < 1300 * 1000u;
    }, 10s));
    EXPECT_NEAR(renderer.GetCounters().targetMicros / 1000.0, 1000.0, 30.0);
    renderer.Close();
}

TEST_F(RingTest, CorruptAacIsDroppedAndThePlaybackGoesOn) {
    auto packets = MakeAacTone(48000, 1, 1000.0, {0.5}, 2.5);
    ASSERT_GE(packets.size(), 100u);
    CAudioRenderer renderer;
    renderer.Open(&session);
    renderer.Play(packets[0].data(), static_cast<uint32_t>(packets[0].size()));

    std::mt19937 random(7);
    std::vector<Bytes> bad;
    Bytes noise(3000);
    for (auto& b : noise)
        b = static_cast<uint8_t>(random());
    bad.push_back(noise);
    Bytes body = packets[1];
    for (size_t i = 7; i < body.size(); ++i)
        body[i] = static_cast<uint8_t>(random());
    bad.push_back(body); // a good header over noise
    bad.push_back(Bytes(packets[2].begin(), packets[2].begin() + packets[2].size() / 2));
    Bytes lying = packets[3];
    lying[3] |= 0x03;
    lying[4] = 0xFF; // claims far more than it holds
    bad.push_back(lying);
    bad.push_back(Bytes(7, 0xFF));
    // Garbage may decode to noise now and then; it must never crash or hang.
    for (auto& b : bad)
        renderer.Play(b.data(), static_cast<uint32_t>(b.size()));
    renderer.Play(nullptr, 0);
    auto c = renderer.GetCounters();
    EXPECT_EQ(c.queued + c.dropped, bad.size() + 2);
    EXPECT_GE(c.dropped, 3u);

    // Too much PCM for one packet: dropped before anything runs past the buffer.
    int32_t next = renderer.NextHeader();
    Bytes tooMuch = Concat(packets, 4, 95);
    renderer.Play(tooMuch.data(), static_cast<uint32_t>(tooMuch.size()));
    EXPECT_EQ(renderer.NextHeader(), next) << "a dropped packet moves nothing";
    EXPECT_EQ(renderer.GetCounters().dropped, c.dropped + 1);
    const uint32_t queuedBefore = renderer.GetCounters().queued;

    // The stream goes on.
    for (size_t i = 99; i < 102; ++i)
        renderer.Play(packets[i].data(), static_cast<uint32_t>(packets[i].size()));
    EXPECT_GE(renderer.GetCounters().queued, queuedBefore + 2);
    renderer.Close();
}

TEST_F(RingTest, NothingIsPlayedWhenTheDeviceOrDecoderCannotOpen) {
    auto packets = MakeAacTone(48000, 1, 1000.0, {0.5}, 0.2);
    CAudioRenderer renderer;
    session.outputDevice = platform::CAudioOut::DeviceCount() + 5;
    renderer.Open(&session);
    renderer.Play(packets[0].data(), static_cast<uint32_t>(packets[0].size()));
    EXPECT_EQ(renderer.GetCounters().dropped, 1u);
    renderer.Close();
    renderer.Close();

    session.outputDevice = -1;
    playback.nChannels = 0; // a header that announces no channels
    renderer.Open(&session);
    renderer.Play(packets[0].data(), static_cast<uint32_t>(packets[0].size()));
    EXPECT_EQ(renderer.GetCounters().dropped, 2u);
    EXPECT_EQ(renderer.GetCounters().queued, 0u);
    renderer.Close();
    EXPECT_EQ(renderer.GetCounters().closes, 3u);
}

class AudioDecoderTest : public ::testing::Test {
protected:
    void SetUp() override { ClearSessionContext(session); }
    WAVEFORMATEX playback{};
    SessionContext session;
};

TEST_F(AudioDecoderTest, DecodesEveryFrameOfAPacketWithinTheRoomGiven) {
    playback = Pcm(44100, 2);
    session.playbackFormat = &playback;
    auto packets = MakeAacTone(44100, 2, 1000.0, {0.5}, 0.5, 4);
    CAudioDecoder decoder;
    ASSERT_EQ(decoder.Open(&session), 1);
    std::vector<uint8_t> out(4 * 4096 + 64, 0xAB);
    int32_t pcm = 4 * 4096;
    int32_t used = decoder.Decode(out.data(), &pcm, packets[2].data(),
                                  static_cast<int32_t>(packets[2].size()));
    EXPECT_EQ(used, static_cast<int32_t>(packets[2].size()));
    EXPECT_EQ(pcm, 4 * 4096);

    // Room for three of the four frames: refused, and nothing past the room.
    std::fill(out.begin(), out.end(), 0xAB);
    pcm = 3 * 4096;
    used = decoder.Decode(out.data(), &pcm, packets[3].data(),
                          static_cast<int32_t>(packets[3].size()));
    EXPECT_LT(used, 0);
    EXPECT_EQ(pcm, 0);
    for (size_t i = 3 * 4096; i < out.size(); ++i)
        ASSERT_EQ(out[i], 0xAB) << "byte " << i;

    // And the next packet decodes as usual.
    pcm = 4 * 4096;
    EXPECT_GT(decoder.Decode(out.data(), &pcm, packets[4].data(),
                             static_cast<int32_t>(packets[4].size())),
              0);
    EXPECT_EQ(pcm, 4 * 4096);
    decoder.Close();
    decoder.Close();
}

TEST_F(AudioDecoderTest, AudioOfAnotherRateThanAnnouncedIsRefusedAndMonoIsMixed) {
    playback = Pcm(48000, 1);
    session.playbackFormat = &playback;
    auto at44 = MakeAacTone(44100, 2, 1000.0, {0.5}, 0.2);
    auto at48 = MakeAacTone(48000, 2, 1000.0, {0.5, 0.3}, 0.2);
    CAudioDecoder decoder;
    ASSERT_EQ(decoder.Open(&session), 1);
    std::vector<uint8_t> out(192000);
    int32_t pcm = 192000;
    EXPECT_LT(
        decoder.Decode(out.data(), &pcm, at44[3].data(), static_cast<int32_t>(at44[3].size())), 0)
        << "no resampling: it would play at the wrong pitch";
    // Stereo into a mono playback format: one channel of 1024 samples.
    pcm = 192000;
    EXPECT_GT(
        decoder.Decode(out.data(), &pcm, at48[3].data(), static_cast<int32_t>(at48[3].size())), 0);
    EXPECT_EQ(pcm, 2048);
}

} // namespace
