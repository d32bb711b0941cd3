// The stream server under load and abuse: a real CGateway on 127.0.0.1 with
// its real video channel (an OpenGL surface), audio playback (Studio_Out) and
// return audio (captured from Studio_Mic), driven by
//   - connect / stream / disconnect cycles, ending orderly, abruptly or with a
//     reset;
//   - a well-behaved field unit streaming in real time while a second, third
//     and up to a fiftieth connect behind it;
//   - peers that send a header and then nothing, a 16 MiB length and then a
//     trickle, garbage, a reset in the middle of a packet, half a header;
//   - a field unit that goes silent with its socket open while another waits
//     behind it, and one that streams but never reads the return audio;
//   - Stop and Start in every state of the server.
// Prints the cycles completed, how soon a silent peer is let go and the next
// one served, whether a peer that does not read keeps its connection, the
// longest Stop, descriptors and resident memory before and after, and
// anything lost on the well-behaved connection.
//
//   scripts/headless.sh build/bench/stress_bench [--cycles 1000] [--rounds 5]
//       [--deaf-seconds 60] [--default-arenas]
#include "platform/AllocatorArenas.h"
#include "platform/video/VideoSurface.h"
#include "return/CReturnAudio.h"
#include "support/GatewayFixture.h"
#include "support/TestClient.h"
#include "tools/media/AacTone.h"
#include "tools/media/CH264Encoder.h"
#include "tools/media/CReturnReader.h"

extern "C" {
#include <libavutil/log.h>
}

#include <QApplication>
#include <QMetaObject>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <poll.h>
#include <random>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

using media::Bytes;
using media::CH264Encoder;
using media::CMediaPacket;
using media::CReturnReader;
using testing_support::TestClient;
using testing_support::WaitUntil;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

constexpr int kWidth = 176;
constexpr int kHeight = 144;
constexpr int kFrameRate = 30;

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

size_t OpenDescriptors() {
    std::error_code error;
    size_t count = 0;
    for (auto it = std::filesystem::directory_iterator("/proc/self/fd", error);
         !error && it != std::filesystem::directory_iterator(); it.increment(error))
        ++count;
    return count;
}

double ResidentMiB() {
    std::ifstream statm("/proc/self/statm");
    long pages = 0, resident = 0;
    statm >> pages >> resident;
    return double(resident) * double(sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0);
}

struct Media {
    std::vector<CMediaPacket> video;
    std::vector<Bytes> audio;
    // Audio packet duration: one AAC frame of 1024 samples at 44100 Hz.
    std::chrono::microseconds audioPeriod{1024 * 1000000LL / 44100};
};

// Errors the server reports; none are expected but for the peers that abuse it.
class CCountingLine : public CErrorLine {
public:
    void SetText(const std::u16string& text) override {
        if (text.empty())
            return;
        ++reports;
        std::lock_guard guard(lock);
        last = text;
    }
    std::string Last() {
        std::lock_guard guard(lock);
        return std::string(last.begin(), last.end()); // the texts are ASCII
    }
    std::atomic<uint32_t> reports{0};

private:
    std::mutex lock;
    std::u16string last;
};

// One session as the main window runs it: a cleared record, a reporter, a
// server started on the same port every time.
class CStudio {
public:
    CStudio(platform::CVideoWindow* window, uint16_t port) : window(window), port(port) {}
    ~CStudio() { Stop(); }

    void Start() {
        playback = DefaultWaveFormat();
        capture = DefaultWaveFormat();
        testing_support::FillSession(session, port, playback, capture, 1, u"Studio_Mic");
        session.videoWindow = window;
        session.drawLeft = 1;
        session.drawTop = 1;
        session.drawWidth = 360;
        session.drawHeight = 288;
        handler = std::make_unique<CErrorHandler>(&line);
        session.errorHandler = handler.get();
        session.idleTimeout = CGateway::kDefaultIdleTimeout;
        server = std::make_unique<CGateway>(&session);
        server->Start(0);
    }

    // The main window's Stop; its duration in milliseconds, destruction included.
    double Stop() {
        if (!server)
            return 0;
        auto start = Clock::now();
        server->Stop(30000);
        server.reset();
        double ms = Ms(Clock::now() - start);
        handler.reset();
        ClearSessionContext(session);
        return ms;
    }

    CGateway& Server() { return *server; }
    SessionContext& Session() { return session; }
    uint32_t Reports() const { return line.reports; }
    std::string LastReport() { return line.Last(); }

private:
    platform::CVideoWindow* window;
    uint16_t port;
    WAVEFORMATEX playback{}, capture{};
    SessionContext session;
    CCountingLine line;
    std::unique_ptr<CErrorHandler> handler;
    std::unique_ptr<CGateway> server;
};

bool SendPacket(SOCKET s, uint8_t type, bool key, uint16_t v1, uint16_t v2, const Bytes& payload) {
    PacketHeader h =
        PacketHeader::Make(kFieldUnitMagic, type, key, uint32_t(payload.size()), v1, v2);
    return platform::SendAll(s, h.bytes, sizeof h.bytes) &&
           platform::SendAll(s, payload.data(), payload.size());
}

bool SendVideo(SOCKET s, const CMediaPacket& p) {
    return SendPacket(s, kPacketVideo, p.key, kWidth, kHeight, p.data);
}

bool SendAudio(SOCKET s, const Bytes& p) {
    return SendPacket(s, kPacketAudio, false, 44100, 2, p);
}

bool SendVideo(TestClient& c, const CMediaPacket& p) {
    return SendVideo(c.Handle(), p);
}

bool SendAudio(TestClient& c, const Bytes& p) {
    return SendAudio(c.Handle(), p);
}

// A field unit whose downlink stalls: it never reads, and its receive buffer
// is set small before it connects, so the return path fills within seconds.
class CDeafUnit {
public:
    explicit CDeafUnit(uint16_t port) {
        sock = ::socket(AF_INET, SOCK_STREAM, 0);
        int small = 4096;
        setsockopt(sock, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected = ::connect(sock, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    ~CDeafUnit() { closesocket(sock); }
    CDeafUnit(const CDeafUnit&) = delete;
    CDeafUnit& operator=(const CDeafUnit&) = delete;
    SOCKET Handle() const { return sock; }
    bool Connected() const { return connected; }

private:
    SOCKET sock;
    bool connected = false;
};

// Closes with a reset instead of an orderly close.
void Reset(TestClient& c) {
    linger l{1, 0};
    setsockopt(c.Handle(), SOL_SOCKET, SO_LINGER, &l, sizeof l);
    c.Close();
}

// Sends the clip's video and audio interleaved in real time until told to stop
// or until rounds passes of the clip are done.
class CStreamer {
public:
    CStreamer(TestClient& c, const Media& m, int rounds) : CStreamer(c.Handle(), m, rounds) {}
    CStreamer(SOCKET s, const Media& m, int rounds) : client(s), media(m), rounds(rounds) {
        thread = std::thread([this] { Run(); });
    }
    ~CStreamer() { Join(); }
    void Stop() { stop = true; }
    void Join() {
        if (thread.joinable())
            thread.join();
    }
    uint32_t video = 0, audio = 0; // packets sent whole; read after Join
    bool failed = false;

private:
    void Run() {
        const auto start = Clock::now();
        const auto videoPeriod = std::chrono::microseconds(1000000 / kFrameRate);
        size_t v = 0, a = 0;
        const size_t videoTotal = media.video.size() * size_t(rounds);
        const size_t audioTotal = media.audio.size() * size_t(rounds);
        while (!stop && (v < videoTotal || a < audioTotal)) {
            auto nextVideo = start + videoPeriod * v;
            auto nextAudio = start + media.audioPeriod * a;
            bool videoFirst = v < videoTotal && (a >= audioTotal || nextVideo <= nextAudio);
            std::this_thread::sleep_until(videoFirst ? nextVideo : nextAudio);
            bool ok = videoFirst ? SendVideo(client, media.video[v++ % media.video.size()])
                                 : SendAudio(client, media.audio[a++ % media.audio.size()]);
            if (!ok) {
                failed = true;
                return;
            }
            videoFirst ? ++video : ++audio;
        }
    }

    SOCKET client;
    const Media& media;
    int rounds;
    std::atomic<bool> stop{false};
    std::thread thread;
};

struct Figures {
    std::map<std::string, double> longestStop;
    std::map<std::string, int> stops;
    void Stop(const std::string& state, double ms) {
        longestStop[state] = std::max(longestStop[state], ms);
        ++stops[state];
    }
    double Longest() const {
        double most = 0;
        for (auto& [state, ms] : longestStop)
            most = std::max(most, ms);
        return most;
    }
};

// One short connection: two video and two audio packets, all of which the
// server must read; ended orderly after they were read, at once after sending,
// or with a reset. False when a packet went unread.
bool Cycle(CStudio& studio, const Media& media, uint16_t port, int how, uint32_t& unread) {
    CGateway& server = studio.Server();
    const uint32_t before = server.PacketsRead();
    const uint32_t served = server.ConnectionsServed();
    TestClient client;
    if (!client.Connect(port, 10s)) {
        unread += 4;
        return false;
    }
    bool sent = SendVideo(client, media.video[0]) && SendAudio(client, media.audio[0]) &&
                SendVideo(client, media.video[1]) && SendAudio(client, media.audio[1]);
    if (how == 1)
        client.Close();
    bool read = WaitUntil([&] { return server.PacketsRead() >= before + 4; }, 15s);
    if (how == 0)
        client.Close();
    else if (how == 2)
        Reset(client);
    // The next cycle starts once this connection is over.
    WaitUntil(
        [&] { return studio.Session().connected == 0 && server.ConnectionsServed() > served; },
        15s);
    uint32_t got = std::min<uint32_t>(server.PacketsRead() - before, 4);
    unread += 4 - got;
    return sent && read;
}

// A peer that abuses the connection, then a well-behaved one that must be
// served after it. Returns false when the well-behaved one was not.
bool Abuse(CStudio& studio, const Media& media, uint16_t port, int kind, double& peakMiB) {
    CGateway& server = studio.Server();
    {
        TestClient bad;
        if (!bad.Connect(port, 10s))
            return false;
        const uint32_t served = server.ConnectionsServed();
        WaitUntil([&] { return server.ConnectionsServed() > served; }, 15s);
        switch (kind) {
        case 0: { // a header and then nothing
            PacketHeader h = PacketHeader::Make(kFieldUnitMagic, kPacketVideo, true, 1000, 64, 48);
            bad.SendBytes(h.bytes, sizeof h.bytes);
            std::this_thread::sleep_for(1500ms);
            break;
        }
        case 1: { // the largest length, then a byte now and then
            PacketHeader h =
                PacketHeader::Make(kFieldUnitMagic, kPacketVideo, true, kMaxPayloadLength, 64, 48);
            bad.SendBytes(h.bytes, sizeof h.bytes);
            uint8_t byte = 0x55;
            for (int i = 0; i < 300; ++i) {
                bad.SendBytes(&byte, 1);
                std::this_thread::sleep_for(5ms);
            }
            peakMiB = std::max(peakMiB, ResidentMiB());
            break;
        }
        case 2: { // garbage
            std::mt19937 random(uint32_t(Clock::now().time_since_epoch().count()));
            std::vector<uint8_t> junk(64 * 1024);
            for (auto& b : junk)
                b = uint8_t(random());
            bad.SendBytes(junk.data(), junk.size());
            bad.WaitForClose(5s);
            break;
        }
        case 3: { // a reset in the middle of a payload
            PacketHeader h =
                PacketHeader::Make(kFieldUnitMagic, kPacketVideo, true, 5000, kWidth, kHeight);
            bad.SendBytes(h.bytes, sizeof h.bytes);
            bad.SendBytes(media.video[0].data.data(),
                          std::min<size_t>(2000, media.video[0].data.size()));
            std::this_thread::sleep_for(100ms);
            Reset(bad);
            break;
        }
        case 4: { // half a header
            PacketHeader h = PacketHeader::Make(kFieldUnitMagic, kPacketAudio, false, 10, 1, 1);
            bad.SendBytes(h.bytes, 7);
            std::this_thread::sleep_for(300ms);
            break;
        }
        }
    }
    uint32_t unread = 0;
    return Cycle(studio, media, port, 0, unread);
}

// A field unit streams, then goes silent with its socket open while a second
// one waits behind it: how soon the silent one is let go, and how soon after
// the silence began the second one hears the studio.
void SilentPeers(CStudio& studio, const Media& media, uint16_t port, int rounds, Figures& figures) {
    std::printf("\nfield unit silent with its socket open, a second one queued behind it "
                "(idle time-out %d s), %d rounds:\n",
                CGateway::kDefaultIdleTimeout, rounds);
    double goneMost = 0, goneSum = 0, nextMost = 0, nextSum = 0;
    int gone = 0, next = 0;
    studio.Start();
    for (int r = 0; r < rounds; ++r) {
        CGateway& server = studio.Server();
        const uint32_t before = server.ConnectionsServed();
        TestClient silent, queued;
        if (!silent.Connect(port, 10s) ||
            !WaitUntil([&] { return server.ConnectionsServed() > before; }, 15s))
            continue;
        CReturnReader silentReturns(silent.Handle());
        bool waiting;
        {
            CStreamer streamer(silent, media, 100);
            std::this_thread::sleep_for(1000ms);
            waiting = queued.Connect(port, 10s);
            std::this_thread::sleep_for(200ms);
            streamer.Stop();
        }
        const auto silence = Clock::now();
        if (!waiting)
            continue;
        CReturnReader queuedReturns(queued.Handle());
        if (WaitUntil([&] { return silentReturns.Closed(); }, 60s)) {
            double ms = Ms(silentReturns.ClosedAt() - silence);
            goneMost = std::max(goneMost, ms);
            goneSum += ms;
            ++gone;
        }
        if (WaitUntil([&] { return queuedReturns.Packets() > 0; }, 60s)) {
            double ms = Ms(queuedReturns.FirstPacketAt() - silence);
            nextMost = std::max(nextMost, ms);
            nextSum += ms;
            ++next;
        }
        queued.Close();
        WaitUntil([&] { return studio.Session().connected == 0; }, 15s);
    }
    figures.Stop("idle", studio.Stop());
    std::printf(
        "  silent one let go          %d of %d, after %.0f ms on average, %.0f ms at most\n", gone,
        rounds, gone ? goneSum / gone : 0.0, goneMost);
    std::printf("  queued one's first return  %d of %d, %.0f ms after the silence on average, "
                "%.0f ms at most\n",
                next, rounds, next ? nextSum / next : 0.0, nextMost);
}

// A field unit that streams but never reads the return audio: whether it
// keeps its connection, and what the return path dropped meanwhile.
void DeafPeer(CStudio& studio, const Media& media, uint16_t port, int seconds, Figures& figures) {
    studio.Start();
    CGateway& server = studio.Server();
    SessionContext& session = studio.Session();
    CDeafUnit deaf(port);
    bool ok = deaf.Connected() && WaitUntil([&] { return session.connected == 1; }, 15s);
    const uint32_t served = server.ConnectionsServed();
    const auto video0 = server.VideoCounters();
    const auto audio0 = server.AudioCounters();
    CNetwork::Counters sent{};
    bool kept = ok;
    {
        CStreamer streamer(deaf.Handle(), media, 1000000);
        const auto end = Clock::now() + std::chrono::seconds(seconds);
        while (kept && Clock::now() < end) {
            std::this_thread::sleep_for(200ms);
            kept = session.connected == 1 && server.ConnectionsServed() == served;
        }
        if (kept)
            sent = server.ReturnCounters();
        streamer.Stop();
        streamer.Join();
        kept = kept && !streamer.failed;
        // Everything sent has been handled before it is counted.
        WaitUntil(
            [&] {
                return server.VideoCounters().draws - video0.draws >= streamer.video &&
                       server.AudioCounters().packets - audio0.packets >= streamer.audio;
            },
            5s);
        const auto video = server.VideoCounters();
        const auto audio = server.AudioCounters();
        std::printf("\nfield unit that never reads the return audio, streaming for %d s:\n",
                    seconds);
        std::printf("  connection kept            %s%s\n",
                    kept ? "yes" : "NO: ", kept ? "" : studio.LastReport().c_str());
        std::printf("  video   %u sent, %u pictures\n", streamer.video,
                    video.pictures - video0.pictures);
        std::printf("  audio   %u sent, %u played\n", streamer.audio,
                    audio.packets - audio0.packets);
        std::printf("  return  %llu packets sent, %llu dropped, %llu sent in part and finished "
                    "later, of %llu chunks\n",
                    (unsigned long long)sent.packetsSent, (unsigned long long)sent.packetsDropped,
                    (unsigned long long)sent.packetsCut, (unsigned long long)sent.chunks);
    }
    figures.Stop("not reading", studio.Stop());
}

// Brings a fresh server into one state and stops it there.
double StopIn(CStudio& studio, const Media& media, uint16_t port, const std::string& state) {
    studio.Start();
    std::vector<std::unique_ptr<TestClient>> clients;
    std::unique_ptr<CStreamer> streamer;
    auto connect = [&] {
        clients.push_back(std::make_unique<TestClient>());
        return clients.back()->Connect(port, 10s);
    };
    auto served = [&] { return WaitUntil([&] { return studio.Session().connected == 1; }, 15s); };
    if (state == "accepting") {
        std::this_thread::sleep_for(1200ms);
    } else if (state == "streaming") {
        if (connect() && served()) {
            streamer = std::make_unique<CStreamer>(*clients.back(), media, 100);
            std::this_thread::sleep_for(1000ms);
        }
    } else if (state == "silent peer") {
        if (connect())
            served();
    } else if (state == "mid-header") {
        if (connect() && served()) {
            PacketHeader h = PacketHeader::Make(kFieldUnitMagic, kPacketAudio, false, 10, 1, 1);
            clients.back()->SendBytes(h.bytes, 6);
            std::this_thread::sleep_for(100ms);
        }
    } else if (state == "16 MiB trickle") {
        if (connect() && served()) {
            PacketHeader h =
                PacketHeader::Make(kFieldUnitMagic, kPacketVideo, true, kMaxPayloadLength, 64, 48);
            clients.back()->SendBytes(h.bytes, sizeof h.bytes);
            uint8_t byte = 1;
            for (int i = 0; i < 20; ++i) {
                clients.back()->SendBytes(&byte, 1);
                std::this_thread::sleep_for(5ms);
            }
        }
    } else if (state == "50 clients") {
        for (int i = 0; i < 50; ++i)
            connect();
        served();
    } else if (state == "not reading") {
        if (connect() && served()) {
            streamer = std::make_unique<CStreamer>(*clients.back(), media, 100);
            std::this_thread::sleep_for(3000ms);
        }
    } else if (state == "peer leaving") {
        if (connect() && served()) {
            SendVideo(*clients.back(), media.video[0]);
            SendAudio(*clients.back(), media.audio[0]);
            Reset(*clients.back());
        }
    }
    // "just started": nothing.
    if (streamer)
        streamer->Stop();
    double ms = studio.Stop();
    streamer.reset();
    clients.clear();
    return ms;
}

int Run(platform::CVideoWindow* window, int cycles, int rounds, int deafSeconds) {
    std::printf("stress: stream server on 127.0.0.1, video %dx%d H.264, AAC 44100 Hz stereo, "
                "return audio from Studio_Mic\n",
                kWidth, kHeight);
    Media media;
    {
        CH264Encoder::Settings settings;
        settings.width = kWidth;
        settings.height = kHeight;
        settings.keyInterval = kFrameRate;
        settings.frameRate = kFrameRate;
        CH264Encoder maker(settings);
        if (maker.Ok())
            media.video = maker.EncodePattern(3 * kFrameRate);
        media.audio = media::MakeAacTone(44100, 2, 440.0, {0.3}, 3.0);
    }
    if (media.video.size() < 2 || media.audio.size() < 2) {
        std::fprintf(stderr, "could not make the media\n");
        return 1;
    }

    const uint16_t port = testing_support::FreePort();
    CStudio studio(window, port);
    Figures figures;

    const size_t fdsStart = OpenDescriptors();
    const double rssStart = ResidentMiB();
    // One connection first: libraries, the sound server's connection and the
    // allocator's pools are set up once for the process.
    studio.Start();
    uint32_t warmUnread = 0;
    Cycle(studio, media, port, 0, warmUnread);
    figures.Stop("idle", studio.Stop());
    const size_t fdsWarm = OpenDescriptors();
    const double rssWarm = ResidentMiB();

    // Connect, stream, disconnect.
    auto phase = Clock::now();
    studio.Start();
    int completed = 0;
    uint32_t unread = 0;
    for (int i = 0; i < cycles; ++i) {
        if (Cycle(studio, media, port, i % 3, unread))
            ++completed;
        if ((i + 1) % 100 == 0)
            std::fprintf(stderr, "  %d cycles, %zu descriptors, %.1f MiB\n", i + 1,
                         OpenDescriptors(), ResidentMiB());
    }
    figures.Stop("idle", studio.Stop());
    std::printf("\ncycles: %d of %d completed in %.0f s, %u packets unread\n", completed, cycles,
                Ms(Clock::now() - phase) / 1000, unread);
    const size_t fdsCycled = OpenDescriptors();
    const double rssCycled = ResidentMiB();
    std::printf("  over the cycles: descriptors %zu -> %zu (%+ld), resident %.1f -> %.1f MiB "
                "(%+.2f MiB)\n",
                fdsWarm, fdsCycled, long(fdsCycled) - long(fdsWarm), rssWarm, rssCycled,
                rssCycled - rssWarm);

    // A well-behaved field unit streams while others connect behind it.
    studio.Start();
    {
        CGateway& server = studio.Server();
        TestClient unit;
        bool ok = unit.Connect(port, 10s) &&
                  WaitUntil([&] { return studio.Session().connected == 1; }, 15s);
        auto video0 = server.VideoCounters();
        auto audio0 = server.AudioCounters();
        CReturnReader returns(unit.Handle());
        CStreamer streamer(unit, media, 2);
        std::vector<std::unique_ptr<TestClient>> others;
        std::this_thread::sleep_for(500ms);
        for (int i = 2; i <= 50; ++i) {
            others.push_back(std::make_unique<TestClient>());
            others.back()->Connect(port, 10s);
            // The second and third send a packet each and go; the others wait.
            if (i <= 3) {
                SendVideo(*others.back(), media.video[0]);
                SendAudio(*others.back(), media.audio[0]);
                others.back()->Close();
            }
            std::this_thread::sleep_for(50ms);
        }
        streamer.Join();
        // Everything sent has been handled before the connection is judged.
        WaitUntil(
            [&] {
                return server.VideoCounters().draws - video0.draws >= streamer.video &&
                       server.AudioCounters().packets - audio0.packets >= streamer.audio;
            },
            15s);
        std::this_thread::sleep_for(300ms);
        CNetwork::Counters sent = server.ReturnCounters();
        const uint64_t ringDropped = sent.captureBytesDropped;
        WaitUntil([&] { return returns.Packets() >= sent.packetsSent; }, 5s);
        auto video = server.VideoCounters();
        auto audio = server.AudioCounters();
        const uint32_t servedBefore = server.ConnectionsServed();
        const uint32_t readBefore = server.PacketsRead();
        unit.Close();
        // The second and third are served after it.
        bool next = WaitUntil(
            [&] {
                return server.ConnectionsServed() >= servedBefore + 2 &&
                       server.PacketsRead() >= readBefore + 4;
            },
            15s);
        std::printf("\nwell-behaved field unit with 49 more connecting behind it (%s):\n",
                    ok && !streamer.failed ? "streamed" : "FAILED to stream");
        std::printf("  video   %u sent, %u drawn, %u pictures: %d lost\n", streamer.video,
                    video.draws - video0.draws, video.pictures - video0.pictures,
                    int(streamer.video) - int(video.pictures - video0.pictures));
        std::printf("  audio   %u sent, %u played, %u queued, %u dropped\n", streamer.audio,
                    audio.packets - audio0.packets, audio.queued - audio0.queued,
                    audio.dropped - audio0.dropped);
        std::printf("  return  %llu sent, %llu received: %lld lost; %llu chunks dropped by the "
                    "sender, %llu bytes by the capture ring%s\n",
                    (unsigned long long)sent.packetsSent, (unsigned long long)returns.Packets(),
                    (long long)sent.packetsSent - (long long)returns.Packets(),
                    (unsigned long long)sent.chunksDropped, (unsigned long long)ringDropped,
                    returns.Broken() ? ", framing BROKEN" : "");
        std::printf("  second and third served after it: %s\n", next ? "yes" : "NO");
        double ms = studio.Stop();
        figures.Stop("47 clients queued", ms);
    }

    SilentPeers(studio, media, port, rounds, figures);
    DeafPeer(studio, media, port, deafSeconds, figures);

    // Peers that abuse the connection.
    {
        const char* kinds[] = {"header then nothing", "16 MiB length then a trickle", "garbage",
                               "reset mid-packet", "half a header"};
        double peak = 0;
        studio.Start();
        std::printf("\nabusive peers, %d rounds, each followed by a well-behaved one:\n", rounds);
        for (int kind = 0; kind < 5; ++kind) {
            int good = 0;
            for (int r = 0; r < rounds; ++r)
                good += Abuse(studio, media, port, kind, peak) ? 1 : 0;
            std::printf("  %-30s next one served %d of %d\n", kinds[kind], good, rounds);
        }
        std::printf("  resident during a trickle: %.1f MiB at most\n", peak);
        figures.Stop("idle", studio.Stop());
    }

    // Stop and Start in every state.
    const char* states[] = {"just started", "accepting",    "streaming",
                            "silent peer",  "mid-header",   "16 MiB trickle",
                            "50 clients",   "peer leaving", "not reading"};
    for (int r = 0; r < rounds; ++r)
        for (const char* state : states)
            figures.Stop(state, StopIn(studio, media, port, state));
    std::printf("\nlongest Stop by state (%d each; the cycles' and the others' as well):\n",
                rounds);
    for (auto& [state, ms] : figures.longestStop)
        std::printf("  %-20s %7.1f ms over %d\n", state.c_str(), ms, figures.stops[state]);
    std::printf("  longest of all       %7.1f ms\n", figures.Longest());

    // The sound server and the window system may finish their side a little later.
    std::this_thread::sleep_for(1s);
    const size_t fdsEnd = OpenDescriptors();
    const double rssEnd = ResidentMiB();
    std::printf("\ndescriptors  %zu at start, %zu after the first connection, %zu at the end "
                "(%+ld)\n",
                fdsStart, fdsWarm, fdsEnd, long(fdsEnd) - long(fdsWarm));
    std::printf("resident     %.1f MiB at start, %.1f MiB after the first connection, %.1f MiB at "
                "the end (%+.2f MiB)\n",
                rssStart, rssWarm, rssEnd, rssEnd - rssWarm);
    std::printf("error reports shown: %u\n", studio.Reports());
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    int cycles = 1000, rounds = 5, deafSeconds = 60;
    bool defaultArenas = false;
    for (int i = 1; i < argc; ++i) {
        bool valued = i + 1 < argc;
        if (valued && std::strcmp(argv[i], "--cycles") == 0)
            cycles = std::max(0, std::atoi(argv[++i]));
        else if (valued && std::strcmp(argv[i], "--rounds") == 0)
            rounds = std::max(1, std::atoi(argv[++i]));
        else if (valued && std::strcmp(argv[i], "--deaf-seconds") == 0)
            deafSeconds = std::max(1, std::atoi(argv[++i]));
        else if (std::strcmp(argv[i], "--default-arenas") == 0)
            defaultArenas = true;
    }
    // As the application does, so that memory is measured as it behaves
    // there; --default-arenas shows what the allocator does when left alone.
    if (!defaultArenas)
        platform::LimitAllocatorArenas(2);
    std::printf("allocator: %s\n",
                defaultArenas ? "default heaps" : "two heaps, as the application");
    QApplication app(argc, argv);
    av_log_set_level(AV_LOG_QUIET);
    platform::CVideoSurface surface;
    surface.resize(362, 290);
    surface.show();

    int result = 0;
    std::thread scenario([&] {
        result = Run(&surface, cycles, rounds, deafSeconds);
        QMetaObject::invokeMethod(&app, &QCoreApplication::quit, Qt::QueuedConnection);
    });
    app.exec();
    scenario.join();
    return result;
}
