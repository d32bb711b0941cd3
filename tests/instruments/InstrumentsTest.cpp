// The operator's instruments on their own: the level meter against tones of
// known level, the metrics endpoint scraped and sent what is not a scrape,
// and the command line that asks for it.
#include "console/CCommandLine.h"
#include "levels/CLevelMeter.h"
#include "instruments/CLinkStatistics.h"
#include "instruments/CMetricsEndpoint.h"
#include "support/GatewayFixture.h"
#include "support/HttpExchange.h"
#include "support/TestClient.h"
#include "tools/media/AacTone.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

using testing_support::HttpExchange;
using testing_support::HttpGet;
using testing_support::MetricValue;
using namespace std::chrono_literals;

namespace {

constexpr int kRate = 48000;

// Feeds seconds of sound in packets of 1024 frames, as the decoder gives them.
void FeedFor(CLevelMeter& meter, const std::vector<int16_t>& sound, int channels) {
    const size_t frames = sound.size() / size_t(channels);
    for (size_t at = 0; at < frames; at += 1024)
        meter.Feed(sound.data() + at * size_t(channels),
                   uint32_t(std::min<size_t>(1024, frames - at)));
}

double Amplitude(double dbfs) {
    return std::pow(10.0, dbfs / 20.0);
}

} // namespace

TEST(LevelMeter, ReadsTheSamplePeakAndMomentaryLoudnessOfTones) {
    CLevelMeter meter;
    EXPECT_FALSE(meter.Read().open);
    ASSERT_TRUE(meter.Open(kRate, 2));
    // A 1 kHz sine with its peaks at the alignment level, -18 dBFS. Each
    // channel counts as dual mono, so it reads the loudness of the programme
    // carrying it in both channels: -0.691 + 10 log10(2 x A^2 / 2) + the
    // K filter's gain at 1 kHz (+0.69 dB) = -18.0 LUFS.
    FeedFor(meter, media::MakePcmTone(kRate, 2, 1000.0, Amplitude(-18.0), kRate), 2);
    CLevelMeter::Reading r = meter.Read();
    ASSERT_TRUE(r.open && r.live);
    ASSERT_EQ(r.channels, 2);
    for (const CLevelMeter::Channel& c : r.channel) {
        EXPECT_NEAR(c.peak, -18.0, 1.0);
        EXPECT_NEAR(c.hold, -18.0, 1.0);
        EXPECT_NEAR(c.loudness, -18.0, 1.0);
    }
    // Louder: the peak follows within the momentary window, the hold stays up.
    FeedFor(meter, media::MakePcmTone(kRate, 2, 1000.0, Amplitude(-6.0), kRate / 2), 2);
    FeedFor(meter, media::MakePcmTone(kRate, 2, 1000.0, Amplitude(-30.0), kRate / 2), 2);
    r = meter.Read();
    EXPECT_NEAR(r.channel[0].peak, -30.0, 1.0);
    EXPECT_NEAR(r.channel[0].loudness, -30.0, 1.0);
    EXPECT_NEAR(r.channel[0].hold, -6.0, 1.0);

    // Digital silence reads the floor; and so does a sound no longer fed.
    FeedFor(meter, std::vector<int16_t>(size_t(kRate) * 2 * 4, 0), 2);
    r = meter.Read();
    EXPECT_EQ(r.channel[1].peak, CLevelMeter::kFloor);
    EXPECT_EQ(r.channel[1].loudness, CLevelMeter::kFloor);
    EXPECT_EQ(r.channel[1].hold, CLevelMeter::kFloor);
    FeedFor(meter, media::MakePcmTone(kRate, 2, 1000.0, 0.5, kRate), 2);
    r = meter.Read(CLevelMeter::Clock::now() + CLevelMeter::kStaleAfter * 2);
    EXPECT_TRUE(r.open);
    EXPECT_FALSE(r.live);
    EXPECT_EQ(r.channel[0].peak, CLevelMeter::kFloor);

    meter.Close();
    EXPECT_FALSE(meter.Read().open);
    EXPECT_FALSE(meter.Open(0, 2)) << "a rate no sound has";
}

TEST(LevelMeter, KeepsTheChannelsApartAndMetersMonoAsOne) {
    CLevelMeter meter;
    ASSERT_TRUE(meter.Open(44100, 2));
    // Left at -6 dBFS, right silent.
    std::vector<int16_t> tone = media::MakePcmTone(44100, 2, 440.0, Amplitude(-6.0), 44100);
    for (size_t i = 1; i < tone.size(); i += 2)
        tone[i] = 0;
    FeedFor(meter, tone, 2);
    CLevelMeter::Reading r = meter.Read();
    EXPECT_NEAR(r.channel[0].peak, -6.0, 1.0);
    EXPECT_EQ(r.channel[1].peak, CLevelMeter::kFloor);

    ASSERT_TRUE(meter.Open(kRate, 1));
    FeedFor(meter, media::MakePcmTone(kRate, 1, 1000.0, Amplitude(-12.0), kRate), 1);
    r = meter.Read();
    EXPECT_EQ(r.channels, 1);
    EXPECT_NEAR(r.channel[0].peak, -12.0, 1.0);
    EXPECT_NEAR(r.channel[0].loudness, -12.0, 1.0);
}

// Scrapes as a monitoring system does, and is sent what is not a scrape.
TEST(MetricsEndpoint, ServesEverySeriesAndAnswersAnythingElseWithAnError) {
    CMetricsEndpoint endpoint;
    std::string problem;
    ASSERT_TRUE(endpoint.Open("127.0.0.1", 0, problem)) << problem;
    const uint16_t port = endpoint.Port();
    ASSERT_NE(port, 0);

    CLinkStatistics statistics;
    statistics.Sample(nullptr, {5, 4});
    endpoint.Publish(statistics);
    testing_support::HttpAnswer answer = HttpGet(port);
    ASSERT_EQ(answer.status, 200);
    const std::string& text = answer.body;
    EXPECT_EQ(MetricValue(text, "lumenfeed_connected"), 0.0);
    EXPECT_EQ(MetricValue(text, "lumenfeed_connections_total"), 0.0);
    EXPECT_EQ(MetricValue(text, "lumenfeed_video_frames_total{stage=\"drawn\"}"), 4.0);
    for (const char* series :
         {"lumenfeed_received_bytes_total{stream=\"video\"}",
          "lumenfeed_received_bytes_total{stream=\"audio\"}",
          "lumenfeed_video_frames_total{stage=\"received\"}",
          "lumenfeed_video_frames_total{stage=\"decoded\"}",
          "lumenfeed_packets_refused_total{reason=\"bad_header\"}", "lumenfeed_audio_queue_seconds",
          "lumenfeed_audio_underruns_total", "lumenfeed_audio_packets_dropped_total",
          "lumenfeed_return_packets_total{result=\"sent\"}",
          "lumenfeed_return_packets_total{result=\"dropped\"}",
          "lumenfeed_picture_latency_seconds_count",
          "lumenfeed_audio_level_dbfs{channel=\"1\",direction=\"return\"}",
          "lumenfeed_receive_latency_seconds", "lumenfeed_receive_latency_chosen_seconds"})
        EXPECT_TRUE(MetricValue(text, series)) << series << " is missing from\n" << text;
    EXPECT_EQ(
        MetricValue(text, "lumenfeed_audio_level_dbfs{channel=\"0\",direction=\"programme\"}"),
        double(CLevelMeter::kFloor));

    // Counters only go up: a display count that starts again adds to them.
    statistics.Sample(nullptr, {2, 1});
    endpoint.Publish(statistics);
    EXPECT_EQ(MetricValue(HttpGet(port).body, "lumenfeed_video_frames_total{stage=\"drawn\"}"),
              5.0);

    // What is not a scrape gets an error, and the next scrape its answer.
    EXPECT_EQ(HttpExchange(port, "\x16\x03\x01 not http at all\r\n\r\n").status / 100, 4);
    EXPECT_EQ(HttpExchange(port, "GET /metrics HTTP/9.9\r\n\r\n").status / 100, 5);
    EXPECT_EQ(HttpGet(port, "/nothing").status, 404);
    EXPECT_EQ(HttpExchange(port, "GET /metrics HTTP/1.1\r\nHost: x\r\nContent-Length: -5\r\n\r\n")
                      .status /
                  100,
              4);
    int answered = 0;
    for (int i = 0; i < 200; ++i)
        answered += HttpGet(port).status == 200 ? 1 : 0;
    EXPECT_EQ(answered, 200);

    // A port that is taken is refused with the reason.
    CMetricsEndpoint second;
    EXPECT_FALSE(second.Open("127.0.0.1", port, problem));
    EXPECT_NE(problem.find(std::to_string(port)), std::string::npos) << problem;
}

// The receiver's state as a health check asks for it, through every state of
// a real stream server, and the name that tells receivers apart.
TEST(MetricsEndpoint, HealthFollowsTheReceiverAndTheInstanceNamesEverySeries) {
    CMetricsEndpoint endpoint;
    std::string problem;
    ASSERT_TRUE(endpoint.Open("127.0.0.1", 0, problem)) << problem;
    CLinkStatistics statistics;
    auto sample = [&](CGateway* gateway) {
        statistics.Sample(gateway, {});
        endpoint.Publish(statistics);
    };
    auto health = [&](CGateway* gateway) {
        sample(gateway);
        return HttpGet(endpoint.Port(), "/health");
    };
    testing_support::HttpAnswer answer = health(nullptr);
    EXPECT_EQ(answer.status, 503);
    EXPECT_EQ(answer.body, "{\"state\":\"stopped\",\"peer\":\"\",\"connected_seconds\":0}\n");

    WAVEFORMATEX playback = DefaultWaveFormat(), capture = DefaultWaveFormat();
    SessionContext session;
    {
        // A port that is taken: the server runs, but nobody can reach it.
        const uint16_t port = testing_support::FreePort();
        SOCKET squatter = testing_support::Squat(port);
        ASSERT_NE(squatter, INVALID_SOCKET);
        testing_support::FillSession(session, port, playback, capture);
        CGateway failing(&session);
        answer = health(&failing);
        EXPECT_EQ(answer.status, 503);
        EXPECT_EQ(answer.body,
                  "{\"state\":\"not_listening\",\"peer\":\"\",\"connected_seconds\":0}\n");
        EXPECT_EQ(MetricValue(HttpGet(endpoint.Port()).body, "lumenfeed_listening"), 0.0);
        sample(nullptr);
        closesocket(squatter);
    }

    const uint16_t port = testing_support::FreePort();
    testing_support::FillSession(session, port, playback, capture);
    SetSessionAddress(session, "::");
    CGateway server(&session);
    CAllowList allowed;
    ASSERT_TRUE(allowed.Add("::1", problem));
    server.SetAllowList(allowed);
    ASSERT_TRUE(server.Start(0));
    answer = health(&server);
    EXPECT_EQ(answer.status, 200);
    EXPECT_EQ(answer.body, "{\"state\":\"listening\",\"peer\":\"\",\"connected_seconds\":0}\n");

    testing_support::TestClient outsider, client;
    ASSERT_TRUE(outsider.ConnectTo("127.0.0.1", port));
    ASSERT_TRUE(client.ConnectTo("::1", port));
    ASSERT_TRUE(testing_support::WaitUntil([&] { return session.connected == 1; }, 15s));
    endpoint.SetInstance("studio \"2\"");
    answer = health(&server);
    EXPECT_EQ(answer.status, 200);
    EXPECT_EQ(answer.body.rfind("{\"state\":\"connected\",\"peer\":\"" + client.LocalAddress() +
                                    "\",\"connected_seconds\":",
                                0),
              0u)
        << answer.body;
    EXPECT_NE(answer.body.find(",\"instance\":\"studio \\\"2\\\"\"}\n"), std::string::npos)
        << answer.body;

    const std::string text = HttpGet(endpoint.Port()).body;
    const std::string name = "instance_name=\"studio \\\"2\\\"\"";
    EXPECT_EQ(MetricValue(text, "lumenfeed_connected{" + name + "}"), 1.0) << text;
    EXPECT_EQ(MetricValue(text, "lumenfeed_listening{" + name + "}"), 1.0);
    EXPECT_EQ(MetricValue(text, "lumenfeed_connections_refused_total{" + name +
                                    ",reason=\"not_allowed\"}"),
              1.0);
    EXPECT_EQ(MetricValue(text, "lumenfeed_video_frames_total{" + name + ",stage=\"drawn\"}"), 0.0);
    // Every series, whoever registered it.
    for (size_t at = text.find("\nlumenfeed_"); at != std::string::npos;
         at = text.find("\nlumenfeed_", at + 1))
        EXPECT_NE(text.substr(at, text.find('\n', at + 1) - at).find(name), std::string::npos)
            << text.substr(at, 80);

    server.Stop(30000);
    answer = health(&server);
    EXPECT_EQ(answer.status, 503) << "a server that has stopped listens no more";
    EXPECT_NE(answer.body.find("\"state\":\"not_listening\""), std::string::npos);
    answer = health(nullptr);
    EXPECT_EQ(answer.status, 503);
    EXPECT_NE(answer.body.find("\"state\":\"stopped\""), std::string::npos);
}

TEST(MetricsEndpoint, IsAskedForOnTheCommandLine) {
    auto parse = [](CCommandLine& line, std::vector<std::string> args) {
        args.insert(args.begin(), "lumenfeed");
        std::vector<char*> argv;
        for (std::string& a : args)
            argv.push_back(a.data());
        return line.Parse(int(argv.size()), argv.data());
    };
    CCommandLine line;
    ASSERT_TRUE(parse(line, {}));
    EXPECT_EQ(line.Options().metricsPort, 0) << "off unless asked for";
    ASSERT_TRUE(parse(line, {"--metrics-port", "9101", "--metrics-address=::1"}));
    EXPECT_EQ(line.Options().metricsPort, 9101);
    EXPECT_EQ(line.Options().metricsAddress, "::1");
    for (const char* bad : {"0", "65536", "91x", ""})
        EXPECT_FALSE(parse(line, {"--metrics-port", bad})) << bad;
    EXPECT_FALSE(parse(line, {"--metrics-address="}));
    EXPECT_NE(CCommandLine::Help().find("--metrics-port PORT"), std::string::npos);
    EXPECT_NE(CCommandLine::Help().find("--metrics-address ADDR"), std::string::npos);
}
