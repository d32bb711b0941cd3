// Return audio end to end: a tone played into "Studio_Mic_Feed" is captured
// from "Studio_Mic", encoded, and sent back to a field unit connected to a
// real server, which reads and decodes it.
#include "capture/CNetwork.h"
#include "codec/CAdtsHeader.h"
#include "console/ConsoleDialogs.h"
#include "platform/AudioStream.h"
#include "support/GatewayFixture.h"
#include "support/TestClient.h"
#include "tools/media/CAacDecoder.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QDialog>
#include <QLabel>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <mutex>
#include <numbers>
#include <sys/ioctl.h>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using testing_support::TestClient;
using testing_support::WaitUntil;

namespace {

// A sine tone played on an output device chosen by name, through the sound
// system's own streams: a feed that a busy machine cannot interrupt.
class TonePlayer : private platform::CPlaybackSource {
public:
    bool Open(const char* device, double hz, double level) {
        frequency = hz;
        amplitude = level;
        stream = platform::CAudioSystem::OpenPlayback(device, platform::PcmFormat{44100, 2}, 1024,
                                                      4096, this);
        if (stream)
            stream->Start();
        return stream != nullptr;
    }

private:
    void Pull(uint8_t* data, uint32_t bytes) override {
        auto* out = reinterpret_cast<int16_t*>(data);
        for (uint32_t i = 0; i < bytes / 4; ++i) {
            auto v = static_cast<int16_t>(32767 * amplitude * std::sin(phase));
            out[2 * i] = out[2 * i + 1] = v;
            phase += 2 * std::numbers::pi * frequency / 44100;
            if (phase > 2 * std::numbers::pi)
                phase -= 2 * std::numbers::pi;
        }
    }

    double frequency = 0, amplitude = 0, phase = 0;
    std::unique_ptr<platform::CAudioStream> stream; // closed first
};

struct ReturnPacket {
    PacketHeader header;
    std::vector<uint8_t> payload;
};

// Amplitude of the component at hz (Goertzel) in the left channel of stereo
// samples, from a frame on: the median over windows of 100 ms, each a whole
// number of periods of the tones checked, so that a moment's stall of the
// feed on a busy machine, which breaks the tone's phase, does not count.
double Amplitude(const std::vector<int16_t>& stereo, size_t from, double hz, int rate) {
    const double w = 2 * std::numbers::pi * hz / rate, c = 2 * std::cos(w);
    const size_t window = size_t(rate) / 10;
    std::vector<double> amplitudes;
    for (size_t start = from; start + window <= stereo.size() / 2; start += window) {
        double s1 = 0, s2 = 0;
        for (size_t i = start; i < start + window; ++i) {
            double s0 = stereo[2 * i] / 32768.0 + c * s1 - s2;
            s2 = s1;
            s1 = s0;
        }
        double power = s1 * s1 + s2 * s2 - c * s1 * s2;
        amplitudes.push_back(2 * std::sqrt(std::max(power, 0.0)) / double(window));
    }
    if (amplitudes.empty())
        return 0;
    auto middle = amplitudes.begin() + ptrdiff_t(amplitudes.size() / 2);
    std::nth_element(amplitudes.begin(), middle, amplitudes.end());
    return *middle;
}

QApplication& App() {
    static int argc = 1;
    static char name[] = "CNetworkTest";
    static char* argv[] = {name, nullptr};
    // Never destroyed: Qt's own statics are gone by the time static objects
    // would be, at exit.
    static auto* app = new QApplication(argc, argv);
    InstallConsoleDialogs();
    return *app;
}

class NetworkTest : public testing_support::GatewayFixture {
protected:
    void SetUp() override {
        source = 1;
        sourceName = u"Studio_Mic";
        GatewayFixture::SetUp();
    }

    bool ReadPacket(TestClient& client, ReturnPacket& packet, std::chrono::milliseconds timeout) {
        if (!client.Receive(packet.header.bytes, 12, timeout))
            return false;
        packet.payload.assign(packet.header.PayloadLength(), 0);
        return packet.payload.empty() ||
               client.Receive(packet.payload.data(), packet.payload.size(), timeout);
    }
};

} // namespace

TEST_F(NetworkTest, TheStudioToneReachesTheFieldUnit) {
    TonePlayer tone;
    ASSERT_TRUE(tone.Open("Studio_Mic_Feed", 1000, 0.25));
    StartServer();
    TestClient client;
    ASSERT_TRUE(client.Connect(port));
    // The sender is published once its constructor has run.
    ASSERT_TRUE(WaitUntil([&] { return session.sender.load() != nullptr; }));
    EXPECT_EQ(session.chunkSize, 20480) << "five frames of 1024 stereo 16-bit samples";
    EXPECT_NE(session.grabber.load(), nullptr);

    media::CAacDecoder decoder;
    ASSERT_TRUE(decoder.Open());
    std::vector<int16_t> pcm;
    for (int i = 0; i < 26; ++i) { // three seconds of audio
        ReturnPacket packet;
        // The first buffer of an idle sink may take two seconds.
        ASSERT_TRUE(ReadPacket(client, packet, 15s)) << "packet " << i;
        const uint8_t* h = packet.header.bytes;
        EXPECT_EQ(h[1], 0xFF);
        EXPECT_EQ(h[2], 0x88);
        EXPECT_EQ(h[3], 0x00);
        EXPECT_EQ(h[4], 0x14) << "audio, key flag clear";
        EXPECT_EQ(h[8], 0x44);
        EXPECT_EQ(h[9], 0xAC);
        EXPECT_EQ(h[10], 0x02);
        EXPECT_EQ(h[11], 0x00);
        ASSERT_GT(packet.payload.size(), 0u);
        auto lengths = CAdtsHeader::FrameLengths(packet.payload.data(), packet.payload.size());
        ASSERT_FALSE(lengths.empty()) << "the payload is whole ADTS frames, packet " << i;
        EXPECT_LE(lengths.size(), 5u);
        if (i > 0) {
            EXPECT_EQ(lengths.size(), 5u) << "after the encoder's delay, five frames a packet";
        }
        for (const uint8_t* f = packet.payload.data(); size_t length : lengths) {
            EXPECT_EQ((f[2] >> 2) & 0x0F, 4) << "ADTS sample rate index of 44100 Hz";
            EXPECT_EQ((f[2] & 0x01) << 2 | f[3] >> 6, 2) << "two channels";
            decoder.Decode(f, length, pcm);
            f += length;
        }
    }
    EXPECT_TRUE(line.Texts().empty());

    EXPECT_EQ(decoder.StreamSampleRate(), 44100);
    EXPECT_EQ(decoder.StreamChannels(), 2);
    ASSERT_GT(pcm.size() / 2, 44100u * 2);
    // Past the first half second the tone is steady.
    size_t from = 22050;
    double tone1000 = Amplitude(pcm, from, 1000, 44100);
    EXPECT_NEAR(tone1000, 0.25, 0.08);
    EXPECT_LT(Amplitude(pcm, from, 1500, 44100), tone1000 / 20);
    EXPECT_LT(Amplitude(pcm, from, 700, 44100), tone1000 / 20);

    client.Close();
    ASSERT_TRUE(WaitUntil([&] { return !Connected(); }, 10s));
    EXPECT_EQ(session.sender.load(), nullptr);
    EXPECT_EQ(session.grabber.load(), nullptr) << "the sender disposes of its grabber";
}

TEST_F(NetworkTest, TheNoneSourceCapturesAndSendsNothing) {
    session.audioSource = 0;
    SetSessionAudioSourceName(session, u"(none)");
    session.chunkSize = 777; // left as it was
    StartServer();
    TestClient client;
    ASSERT_TRUE(client.Connect(port));
    ASSERT_TRUE(WaitUntil([&] { return session.sender.load() != nullptr; }))
        << "a sender exists for the connection";
    EXPECT_EQ(session.grabber.load(), nullptr);
    EXPECT_EQ(session.chunkSize, 777);
    EXPECT_EQ(CNetwork::ShowCaptureProperties(&session, nullptr), 0) << "no capture device";
    uint8_t byte;
    EXPECT_FALSE(client.Receive(&byte, 1, 1500ms)) << "no return audio";
    EXPECT_TRUE(line.Texts().empty());
}

TEST_F(NetworkTest, AnEncoderThatCannotOpenBuildsNoGraph) {
    // The AAC encoder takes none of the unusual rates.
    capture.nSamplesPerSec = 12345;
    capture.nAvgBytesPerSec = 12345 * 4;
    StartServer();
    TestClient client;
    ASSERT_TRUE(client.Connect(port));
    ASSERT_TRUE(WaitUntil([&] { return Connected(); }));
    ASSERT_TRUE(WaitUntil([&] { return !line.Texts().empty(); }));
    EXPECT_EQ(line.Texts()[0],
              u"The AAC encoder could not be opened: no studio audio is sent back.");
    EXPECT_EQ(session.chunkSize, 0);
    EXPECT_EQ(CNetwork::ShowCaptureProperties(&session, nullptr), 0) << "no graph, no device";
    uint8_t byte;
    EXPECT_FALSE(client.Receive(&byte, 1, 1500ms));
    client.Close();
    ASSERT_TRUE(WaitUntil([&] { return !Connected(); }, 10s));
    EXPECT_EQ(session.grabber.load(), nullptr);
}

namespace {

// A field unit's socket whose receive buffer is set before it connects: the
// window it offers from the handshake on.
SOCKET ConnectWithReceiveBuffer(uint16_t port, int size) {
    SOCKET s = ::socket(AF_INET, SOCK_STREAM, 0);
    setsockopt(s, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        closesocket(s);
        return INVALID_SOCKET;
    }
    return s;
}

// A field unit that reads nothing, with a small receive buffer so that the
// studio's sends soon stall.
SOCKET ConnectWithoutReading(uint16_t port) { return ConnectWithReceiveBuffer(port, 2048); }

int Unread(SOCKET s) {
    int n = 0;
    ioctl(s, FIONREAD, &n);
    return n;
}

} // namespace

TEST_F(NetworkTest, APeerThatNeverReadsKeepsItsConnectionWhileReturnPacketsAreDropped) {
    TonePlayer tone;
    ASSERT_TRUE(tone.Open("Studio_Mic_Feed", 440, 0.25));
    StartServer();
    SOCKET stalled = ConnectWithoutReading(port);
    ASSERT_NE(stalled, INVALID_SOCKET);
    ASSERT_TRUE(WaitUntil([&] { return session.sender.load() != nullptr; }));
    // It streams picture and sound all along.
    std::atomic<bool> streaming{true};
    std::thread field([&] {
        auto video = PacketHeader::Make(kFieldUnitMagic, kPacketVideo, true, 100, 320, 240);
        auto audio = PacketHeader::Make(kFieldUnitMagic, kPacketAudio, false, 100, 44100, 2);
        std::vector<uint8_t> wire(112, 0x55);
        while (streaming) {
            for (auto* h : {&video, &audio}) {
                std::copy_n(h->bytes, 12, wire.begin());
                if (send(stalled, wire.data(), wire.size(), MSG_NOSIGNAL) != ssize_t(wire.size()))
                    return;
            }
            std::this_thread::sleep_for(20ms);
        }
    });
    auto dropped = [&] { return server->ReturnCounters().packetsDropped; };
    ASSERT_TRUE(WaitUntil([&] { return dropped() > 0; }, 60s)) << "the return path fills up";
    // Twenty more dropped: over two seconds of return audio the peer never took.
    uint64_t first = dropped();
    uint32_t draws = server->VideoCounters().draws, played = server->AudioCounters().packets;
    ASSERT_TRUE(WaitUntil([&] { return dropped() >= first + 20 || !Connected(); }, 60s));
    EXPECT_TRUE(Connected());
    EXPECT_EQ(server->ConnectionsServed(), 1u);
    EXPECT_GT(server->VideoCounters().draws, draws) << "the picture goes on";
    EXPECT_GT(server->AudioCounters().packets, played) << "the sound goes on";
    EXPECT_TRUE(line.Texts().empty());
    streaming = false;
    field.join();

    // What did reach the peer is whole packets, back to back.
    timeval patience{10, 0};
    setsockopt(stalled, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
    ReturnPacket packet;
    int whole = 0;
    for (int queued = Unread(stalled); queued >= 12; queued = Unread(stalled)) {
        ASSERT_EQ(recv(stalled, packet.header.bytes, 12, MSG_WAITALL), 12);
        ASSERT_EQ(packet.header.Magic(), kReturnAudioMagic) << "after " << whole << " packets";
        packet.payload.assign(packet.header.PayloadLength(), 0);
        ASSERT_EQ(recv(stalled, packet.payload.data(), packet.payload.size(), MSG_WAITALL),
                  ssize_t(packet.payload.size()));
        ASSERT_TRUE(CAdtsHeader::IsAdts(packet.payload.data(), packet.payload.size()));
        ++whole;
    }
    EXPECT_GT(whole, 0);
    closesocket(stalled);
}

namespace {

// A field unit on a plain socket: streams a picture and a sound packet every
// 20 ms while asked to, and reads the return audio at its own pace, checking
// that it comes as whole packets back to back.
class FieldPeer {
public:
    // Reads up to readBytes every readEvery.
    FieldPeer(SOCKET s, size_t readBytes, std::chrono::milliseconds readEvery) : sock(s) {
        reader = std::thread([this, readBytes, readEvery] { Read(readBytes, readEvery); });
        writer = std::thread([this] { Stream(); });
    }
    ~FieldPeer() {
        ending = true;
        shutdown(sock, SHUT_RDWR);
        reader.join();
        writer.join();
        closesocket(sock);
    }

    std::atomic<bool> streaming{true};
    std::atomic<uint64_t> pairsSent{0};
    std::atomic<int> returnPackets{0}; // whole and well formed
    std::atomic<bool> framingBroken{false};

private:
    void Stream() {
        auto video = PacketHeader::Make(kFieldUnitMagic, kPacketVideo, true, 100, 320, 240);
        auto audio = PacketHeader::Make(kFieldUnitMagic, kPacketAudio, false, 100, 44100, 2);
        std::vector<uint8_t> wire(112, 0x55);
        while (!ending) {
            std::this_thread::sleep_for(20ms);
            if (!streaming)
                continue;
            for (auto* h : {&video, &audio}) {
                std::copy_n(h->bytes, 12, wire.begin());
                if (!SendWhole(wire))
                    return;
            }
            ++pairsSent;
        }
    }
    bool SendWhole(const std::vector<uint8_t>& bytes) {
        for (size_t at = 0; at < bytes.size() && !ending;) {
            auto n = send(sock, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
            if (n <= 0)
                return false;
            at += size_t(n);
        }
        return true;
    }
    void Read(size_t readBytes, std::chrono::milliseconds readEvery) {
        std::vector<uint8_t> pending, piece(readBytes);
        while (!ending) {
            std::this_thread::sleep_for(readEvery);
            auto n = recv(sock, piece.data(), piece.size(), MSG_DONTWAIT);
            if (n == 0)
                return;
            if (n < 0)
                continue;
            pending.insert(pending.end(), piece.begin(), piece.begin() + n);
            for (;;) {
                PacketHeader h;
                if (pending.size() < sizeof h.bytes)
                    break;
                std::copy_n(pending.begin(), sizeof h.bytes, h.bytes);
                if (h.Magic() != kReturnAudioMagic) {
                    framingBroken = true;
                    return;
                }
                const size_t size = sizeof h.bytes + h.PayloadLength();
                if (pending.size() < size)
                    break;
                if (!CAdtsHeader::IsAdts(pending.data() + 12, h.PayloadLength())) {
                    framingBroken = true;
                    return;
                }
                ++returnPackets;
                pending.erase(pending.begin(), pending.begin() + ptrdiff_t(size));
            }
        }
    }

    SOCKET sock;
    std::atomic<bool> ending{false};
    std::thread reader, writer;
};

} // namespace

TEST_F(NetworkTest, TheReturnPathNeverCostsTheFeed) {
    TonePlayer tone;
    ASSERT_TRUE(tone.Open("Studio_Mic_Feed", 440, 0.25));
    StartServer();
    // Pictures that came in a burst after a stall may be dropped and told
    // of; nothing else may be said.
    auto onlyPictureBursts = [&] {
        for (const std::u16string& text : line.Texts())
            if (text.rfind(u"Pictures fell behind", 0) != 0)
                return false;
        return true;
    };

    // A window smaller than one return packet from the handshake on, read
    // at once: the return audio still comes, in whole packets.
    {
        SOCKET tiny = ConnectWithReceiveBuffer(port, 1);
        ASSERT_NE(tiny, INVALID_SOCKET);
        ASSERT_TRUE(WaitUntil([&] { return session.sender.load() != nullptr; }));
        FieldPeer peer(tiny, 4096, 5ms);
        ASSERT_TRUE(WaitUntil([&] { return peer.returnPackets >= 10 || !Connected(); }, 60s))
            << "return packets taken: " << peer.returnPackets;
        EXPECT_FALSE(peer.framingBroken);
        // Silent while still reading, with no idle time-out set: it stays.
        peer.streaming = false;
        int heard = peer.returnPackets;
        ASSERT_TRUE(WaitUntil([&] { return peer.returnPackets >= heard + 50 || !Connected(); },
                              60s));
        EXPECT_TRUE(Connected());
        EXPECT_FALSE(peer.framingBroken);
        EXPECT_TRUE(onlyPictureBursts());
    }
    ASSERT_TRUE(WaitUntil([&] { return !Connected(); }, 10s));

    // A buffer that shrinks after the handshake: the window offered before
    // takes more than the field unit's system then keeps, and what it throws
    // away waits for acknowledgement. It streams and reads slowly (2 KB/s):
    // the feed goes on past several idle time-outs.
    session.idleTimeout = 3;
    const uint32_t served = server->ConnectionsServed();
    {
        SOCKET shrinking = ConnectWithReceiveBuffer(port, 256 * 1024);
        ASSERT_NE(shrinking, INVALID_SOCKET);
        ASSERT_TRUE(WaitUntil([&] { return session.sender.load() != nullptr; }, 10s));
        int small = 1;
        ASSERT_EQ(setsockopt(shrinking, SOL_SOCKET, SO_RCVBUF, &small, sizeof small), 0);
        FieldPeer peer(shrinking, 200, 100ms);
        // 450 pairs, 20 ms apart at least: three idle time-outs or more.
        const uint32_t read = server->PacketsRead();
        ASSERT_TRUE(WaitUntil([&] { return peer.pairsSent >= 450 || !Connected(); }, 120s));
        ASSERT_TRUE(WaitUntil(
            [&] { return server->PacketsRead() >= read + 800 || !Connected(); }, 60s));
        EXPECT_TRUE(Connected());
        EXPECT_EQ(server->ConnectionsServed(), served + 1);
        EXPECT_GT(peer.returnPackets, 0) << "slowly, but the return audio comes";
        EXPECT_FALSE(peer.framingBroken);
        EXPECT_TRUE(onlyPictureBursts());
    }
}

TEST_F(NetworkTest, StopFinishesWhileAPeerHasStoppedReading) {
    TonePlayer tone;
    ASSERT_TRUE(tone.Open("Studio_Mic_Feed", 440, 0.25));
    StartServer();
    SOCKET stalled = ConnectWithoutReading(port);
    ASSERT_NE(stalled, INVALID_SOCKET);
    ASSERT_TRUE(WaitUntil([&] { return session.sender.load() != nullptr; }));
    int small = 8192;
    ASSERT_EQ(setsockopt(session.socket.load(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small), 0);
    ASSERT_TRUE(WaitUntil([&] { return Unread(stalled) > 0; }, 15s));
    // Wait until nothing more fits: the sends now block for their time-out.
    int last = -1;
    ASSERT_TRUE(WaitUntil(
        [&] {
            int now = Unread(stalled);
            bool still = now == last;
            last = now;
            std::this_thread::sleep_for(300ms);
            return still || !Connected();
        },
        60s));
    auto took = Stop();
    EXPECT_LT(took, 2000ms) << "teardown and the graph's Stop must not wait on the peer";
    EXPECT_EQ(session.sender.load(), nullptr);
    closesocket(stalled);
}

TEST_F(NetworkTest, ThePropertyDialogSurvivesTheEndOfItsConnection) {
    App();
    EXPECT_EQ(CNetwork::ShowCaptureProperties(&session, nullptr), 0) << "no connection yet";
    StartServer();
    TestClient client;
    ASSERT_TRUE(client.Connect(port));
    ASSERT_TRUE(WaitUntil([&] { return session.sender.load() != nullptr; }));

    QString title, device, stateAfter;
    bool ended = false;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        if (!dialog)
            return;
        if (!ended) {
            title = dialog->windowTitle();
            if (auto* label = dialog->findChild<QLabel*>("Device"))
                device = label->text();
            // The field unit goes; the worker destroys the sender meanwhile.
            client.Close();
            ended = WaitUntil([&] { return session.sender.load() == nullptr; }, 10s);
            return;
        }
        if (auto* label = dialog->findChild<QLabel*>("State"))
            stateAfter = label->text();
        if (stateAfter == "Not connected")
            dialog->accept();
    });
    poll.start(100);
    QTimer::singleShot(30000, [] {
        if (QWidget* dialog = QApplication::activeModalWidget())
            dialog->close();
    });
    EXPECT_EQ(CNetwork::ShowCaptureProperties(&session, nullptr), 1);
    poll.stop();
    EXPECT_TRUE(ended);
    EXPECT_EQ(title, "AudioCapture");
    EXPECT_EQ(device, "Studio_Mic");
    EXPECT_EQ(stateAfter, "Not connected");
    EXPECT_EQ(CNetwork::ShowCaptureProperties(&session, nullptr), 0) << "the connection is gone";
}
