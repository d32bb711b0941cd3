// Streams AAC through a real stream server to the "Studio_Out" sink, paced in
// real time as a field unit sends it, and prints what the playback did:
// underruns, dropped packets, and the queued playback latency reported by the
// audio output layer. Also prints what the AAC encoder costs per frame.
//
//   scripts/headless.sh build/bench/audio_bench [--seconds N] [--rate R] [--channels C]
#include "codec/CAudioEncoder.h"
#include "core/CErrorHandler.h"
#include "gateway/CGateway.h"
#include "platform/audio/AudioOut.h"
#include "support/MonitorRecorder.h"
#include "support/TestClient.h"
#include "tools/media/AacTone.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

class SilentLine : public CErrorLine {
public:
    void SetText(const std::u16string&) override {}
};

double Percentile(std::vector<double> v, double p) {
    if (v.empty())
        return 0.0;
    std::sort(v.begin(), v.end());
    size_t i = static_cast<size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
    return v[std::min(i, v.size() - 1)];
}

} // namespace

int main(int argc, char** argv) {
    double seconds = 60.0;
    int rate = 44100;
    int channels = 2;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--seconds"))
            seconds = std::atof(argv[i + 1]);
        else if (!std::strcmp(argv[i], "--rate"))
            rate = std::atoi(argv[i + 1]);
        else if (!std::strcmp(argv[i], "--channels"))
            channels = std::atoi(argv[i + 1]);
    }
    if (seconds <= 0 || rate <= 0 || channels < 1 || channels > 2) {
        std::fprintf(stderr, "usage: audio_bench [--seconds N] [--rate R] [--channels 1|2]\n");
        return 2;
    }

    // The stream, made by the system's own encoder, which is timed on the way.
    WAVEFORMATEX format = DefaultWaveFormat();
    format.nSamplesPerSec = static_cast<uint32_t>(rate);
    format.nChannels = static_cast<uint16_t>(channels);
    format.nBlockAlign = static_cast<uint16_t>(channels * 2);
    format.nAvgBytesPerSec = format.nSamplesPerSec * format.nBlockAlign;
    SessionContext encoding;
    ClearSessionContext(encoding);
    encoding.captureFormat = &format;
    CAudioEncoder encoder;
    const int32_t frameSize = encoder.Open(&encoding);
    if (frameSize <= 0) {
        std::fprintf(stderr, "the AAC encoder does not open for %d Hz, %d channels\n", rate,
                     channels);
        return 1;
    }
    const size_t frames = static_cast<size_t>(seconds * rate) / frameSize;
    std::vector<int16_t> pcm = media::MakePcmTone(rate, channels, 1000.0, 0.5, frames * frameSize);
    std::vector<std::vector<uint8_t>> packets;
    std::vector<double> encodeMicros;
    std::vector<uint8_t> out(65536);
    for (size_t f = 0; f < frames; ++f) {
        auto t0 = Clock::now();
        int32_t n = encoder.Encode(out.data(), static_cast<int32_t>(out.size()),
                                   pcm.data() + f * frameSize * channels);
        encodeMicros.push_back(
            std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
        if (n > 0)
            packets.emplace_back(out.begin(), out.begin() + n);
    }
    encoder.Close();

    // The server, as a session starts it, playing on Studio_Out.
    WAVEFORMATEX playback = DefaultWaveFormat(), capture = DefaultWaveFormat();
    SessionContext session;
    ClearSessionContext(session);
    SilentLine line;
    uint16_t port = testing_support::FreePort();
    session.port = port;
    SetSessionAddress(session, "127.0.0.1");
    session.playbackFormat = &playback;
    session.captureFormat = &capture;
    session.outputDevice = platform::CAudioOut::FindDevice("Studio_Out");
    SetSessionAudioSourceName(session, u"(none)");
    session.errorHandler = new CErrorHandler(&line);
    if (session.outputDevice < 0)
        std::fprintf(stderr, "no \"Studio_Out\" device: playing on the default one\n");
    // The first stream of a process may stall at its start on PulseAudio.
    testing_support::WarmUpAudioOutput(session.outputDevice >= 0 ? "Studio_Out" : "");

    auto server = std::make_unique<CGateway>(&session);
    testing_support::TestClient client;
    if (!server->Start(0) || !client.Connect(port) ||
        !testing_support::WaitUntil([&] { return session.connected == 1; }, 10s)) {
        std::fprintf(stderr, "the server did not take the connection\n");
        return 1;
    }

    const double packetSeconds = static_cast<double>(frameSize) / rate;
    // The queue is sampled every 5 ms from its own thread while the stream runs.
    std::vector<double> latencyMs;
    std::atomic<bool> streaming{true};
    std::thread sampler([&] {
        while (streaming) {
            std::this_thread::sleep_for(5ms);
            if (server->AudioCounters().queued > 0)
                latencyMs.push_back(server->AudioCounters().latencyMicros / 1000.0);
        }
    });
    const auto start = Clock::now();
    for (size_t i = 0; i < packets.size(); ++i) {
        std::this_thread::sleep_until(
            start + std::chrono::duration_cast<Clock::duration>(
                        std::chrono::duration<double>(packetSeconds * static_cast<double>(i))));
        if (!client.SendPacket(kPacketAudio, false, static_cast<uint16_t>(rate),
                               static_cast<uint16_t>(channels), packets[i])) {
            std::fprintf(stderr, "send failed at packet %zu\n", i);
            return 1;
        }
    }
    testing_support::WaitUntil([&] { return server->AudioCounters().packets == packets.size(); },
                               10s);
    streaming = false;
    sampler.join();
    // Underruns while the stream ran; the end of the stream is not one.
    auto counters = server->AudioCounters();
    testing_support::WaitUntil([&] { return server->AudioCounters().latencyMicros < 50000; }, 10s);

    client.Close();
    server->Stop(30000);
    server.reset();
    delete session.errorHandler.load();
    session.errorHandler = nullptr;

    std::printf("audio_bench: %.0f s of AAC, %d Hz, %d channel(s), %zu packets of %d samples\n",
                seconds, rate, channels, packets.size(), frameSize);
    std::printf("  packets played   %u\n", counters.queued);
    std::printf("  packets dropped  %u\n", counters.dropped);
    std::printf("  underruns        %u\n", counters.underruns);
    std::printf("  queued latency   median %.1f ms, max %.1f ms (device buffer included)\n",
                Percentile(latencyMs, 0.5), Percentile(latencyMs, 1.0));
    double sum = 0;
    for (double v : encodeMicros)
        sum += v;
    std::printf("  AAC encoder      mean %.1f us, median %.1f us, max %.1f us per frame "
                "(%.2f%% of real time)\n",
                sum / encodeMicros.size(), Percentile(encodeMicros, 0.5),
                Percentile(encodeMicros, 1.0),
                100.0 * (sum / encodeMicros.size()) / (packetSeconds * 1e6));
    return 0;
}
