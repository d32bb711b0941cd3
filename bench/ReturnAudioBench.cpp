// Return audio over the test set-up's loopback: clicks played into
// "Studio_Mic_Feed" are captured from "Studio_Mic", encoded and sent to a field
// unit on 127.0.0.1, which times their arrival. Prints packets sent, chunks
// dropped, click-to-packet latency, the encoding cost per packet and the
// process's CPU while it runs (player and field unit included, the same
// before and after a change to the return path).
//
//   scripts/headless.sh build/bench/return_audio_bench [--seconds 60]
#include "codec/CAdtsHeader.h"
#include "platform/audio/SdlAudio.h"
#include "support/GatewayFixture.h"
#include "support/TestClient.h"
#include "tools/media/CAacDecoder.h"
#include "tools/media/CReturnReader.h"
#include "ProcessFigures.h"

#include <SDL.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <numbers>
#include <thread>
#include <vector>

using Clock = std::chrono::steady_clock;
using testing_support::FreePort;
using testing_support::TestClient;
using namespace std::chrono_literals;

namespace {

class PrintingLine : public CErrorLine {
public:
    void SetText(const std::u16string& text) override {
        std::string narrow(text.begin(), text.end());
        std::fprintf(stderr, "error line: %s\n", narrow.c_str());
    }
};

// Silence with a short loud burst once a second; remembers when each burst was
// handed to the output device.
class ClickPlayer {
public:
    bool Open() {
        SDL_AudioSpec want{}, have{};
        want.freq = 44100;
        want.format = AUDIO_S16LSB;
        want.channels = 2;
        want.samples = 1024;
        want.callback = &ClickPlayer::Fill;
        want.userdata = this;
        id = SDL_OpenAudioDevice("Studio_Mic_Feed", 0, &want, &have, 0);
        if (id)
            SDL_PauseAudioDevice(id, 0);
        return id != 0;
    }
    ~ClickPlayer() {
        if (id)
            SDL_CloseAudioDevice(id);
    }
    std::vector<Clock::time_point> Clicks() {
        std::lock_guard guard(lock);
        return clicks;
    }

private:
    static constexpr int kPeriod = 44100;    // one click a second
    static constexpr int kClickFrames = 441; // 10 ms

    static void SDLCALL Fill(void* self, Uint8* stream, int length) {
        auto* p = static_cast<ClickPlayer*>(self);
        auto now = Clock::now();
        auto* out = reinterpret_cast<int16_t*>(stream);
        int frames = length / 4;
        for (int i = 0; i < frames; ++i, ++p->position) {
            int at = static_cast<int>(p->position % kPeriod);
            int16_t v = 0;
            if (at < kClickFrames) {
                v = static_cast<int16_t>(26000 *
                                         std::sin(2 * std::numbers::pi * 2000 * at / 44100.0));
                if (at == 0 && p->position > 0) {
                    std::lock_guard guard(p->lock);
                    p->clicks.push_back(now +
                                        std::chrono::microseconds(int64_t(i) * 1000000 / 44100));
                }
            }
            out[2 * i] = out[2 * i + 1] = v;
        }
    }

    platform::CSdlAudio sdl;
    SDL_AudioDeviceID id = 0;
    int64_t position = 0;
    std::mutex lock;
    std::vector<Clock::time_point> clicks;
};

// Arrival time and loudest decoded sample of each return packet.
struct Arrival {
    Clock::time_point time;
    float peak = 0;
};

// A field unit that times each return packet's arrival and decodes it.
class FieldUnit {
public:
    bool Connect(uint16_t port) {
        if (!decoder.Open() || !client.Connect(port, 5s))
            return false;
        reader = std::make_unique<media::CReturnReader>(
            client.Handle(), [this](const PacketHeader&, const uint8_t* data, size_t length) {
                Arrival arrival{Clock::now(), Peak(data, length)};
                std::lock_guard guard(lock);
                arrivals.push_back(arrival);
            });
        return true;
    }
    std::vector<Arrival> Arrivals() {
        std::lock_guard guard(lock);
        return arrivals;
    }

private:
    // The loudest sample of the left channel.
    float Peak(const uint8_t* data, size_t length) {
        int peak = 0;
        for (size_t frame : CAdtsHeader::FrameLengths(data, length)) {
            pcm.clear();
            decoder.Decode(data, frame, pcm);
            for (size_t i = 0; i < pcm.size(); i += size_t(decoder.Channels()))
                peak = std::max(peak, std::abs(int(pcm[i])));
            data += frame;
        }
        return float(peak) / 32768.0f;
    }

    TestClient client;
    media::CAacDecoder decoder;
    std::vector<int16_t> pcm;
    std::mutex lock;
    std::vector<Arrival> arrivals;
    // Last, so that it stops first.
    std::unique_ptr<media::CReturnReader> reader;
};

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

} // namespace

int main(int argc, char** argv) {
    int seconds = 60;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc)
            seconds = std::atoi(argv[++i]);
    }
    if (seconds <= 0)
        seconds = 60;

    WAVEFORMATEX playback = DefaultWaveFormat(), capture = DefaultWaveFormat();
    SessionContext session;
    uint16_t port = FreePort();
    testing_support::FillSession(session, port, playback, capture, 1, u"Studio_Mic");
    PrintingLine line;
    CErrorHandler handler(&line);
    session.errorHandler = &handler;

    ClickPlayer clicks;
    if (!clicks.Open()) {
        std::fprintf(stderr, "cannot play into Studio_Mic_Feed (run under scripts/headless.sh)\n");
        return 1;
    }
    auto server = std::make_unique<CGateway>(&session);
    server->Start(0);
    FieldUnit unit;
    if (!unit.Connect(port)) {
        std::fprintf(stderr, "cannot connect to the server\n");
        return 1;
    }
    while (!server->ReturnStatus())
        std::this_thread::sleep_for(5ms);
    // The idle sink's first buffer may take a while: time from the first packet.
    auto waitUntil = Clock::now() + 10s;
    while (unit.Arrivals().empty() && Clock::now() < waitUntil)
        std::this_thread::sleep_for(10ms);
    auto start = Clock::now();
    const double cpuBefore = CpuSeconds(getpid());
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    auto end = Clock::now();
    const double cpu = CpuSeconds(getpid()) - cpuBefore;

    CReturnAudio::Counters counters = server->ReturnCounters();
    uint64_t ringBytes = counters.captureBytesDropped;
    int32_t chunkSize = int32_t(server->ReturnStatus().value_or(CCapture::Status{}).bufferBytes);
    auto arrivals = unit.Arrivals();
    auto clickTimes = clicks.Clicks();

    server->Stop(30000);
    server.reset();

    // Each click is found in the first packet after it that carries it.
    std::vector<double> latencies;
    int missed = 0;
    for (auto click : clickTimes) {
        if (click < start || click > end - 1s)
            continue;
        auto it = std::find_if(arrivals.begin(), arrivals.end(),
                               [&](const Arrival& a) { return a.time > click && a.peak > 0.2f; });
        if (it == arrivals.end() || it->time - click > 900ms) {
            ++missed;
            continue;
        }
        latencies.push_back(Ms(it->time - click));
    }
    std::sort(latencies.begin(), latencies.end());
    size_t received = std::count_if(arrivals.begin(), arrivals.end(), [&](const Arrival& a) {
        return a.time >= start && a.time < end;
    });
    double expected = std::chrono::duration<double>(end - start).count() * capture.nAvgBytesPerSec /
                      std::max(chunkSize, 1);

    std::printf("return audio, %d s of loopback capture, chunk %d bytes\n", seconds, chunkSize);
    std::printf(
        "  packets sent            %llu in all, %zu in the measured %d s (%.1f chunks expected)\n",
        (unsigned long long)counters.packetsSent, received, seconds, expected);
    std::printf("  chunks dropped          %llu by the sender, %llu by the capture ring\n",
                (unsigned long long)counters.chunksDropped,
                (unsigned long long)(chunkSize > 0 ? ringBytes / uint64_t(chunkSize) : 0));
    std::printf("  frames failed to encode %llu\n", (unsigned long long)counters.framesSkipped);
    if (!latencies.empty())
        std::printf(
            "  click latency           median %.1f ms, max %.1f ms, min %.1f ms over %zu clicks"
            " (%d not found)\n",
            latencies[latencies.size() / 2], latencies.back(), latencies.front(), latencies.size(),
            missed);
    else
        std::printf("  click latency           no click found (%d missed)\n", missed);
    if (counters.chunks > 0)
        std::printf("  encode cost per packet  %.3f ms (five frames)\n",
                    counters.encodeNanoseconds / 1e6 / double(counters.chunks));
    std::printf("  process CPU             %.2f %% of one core\n",
                100.0 * cpu / std::chrono::duration<double>(end - start).count());
    return 0;
}
