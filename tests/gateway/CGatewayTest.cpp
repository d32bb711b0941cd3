// The stream server driven through real sockets on 127.0.0.1.
#include "support/GatewayFixture.h"
#include "support/TestClient.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using testing_support::TestClient;
using testing_support::WaitUntil;
using Clock = std::chrono::steady_clock;

namespace {

std::vector<uint8_t> Bytes(size_t n, uint8_t fill = 0x55) {
    return std::vector<uint8_t>(n, fill);
}

using GatewayTest = testing_support::GatewayFixture;

} // namespace

TEST_F(GatewayTest, ConnectionFieldsFollowTheFieldUnit) {
    StartServer();
    TestClient client;
    ASSERT_TRUE(client.Connect(port));
    // connected comes first, the return audio once it is built
    ASSERT_TRUE(WaitUntil([&] { return server->ReturnStatus().has_value(); }))
        << "a return path exists even with the (none) source";
    EXPECT_TRUE(Connected());
    EXPECT_TRUE(server->ReturnStatus()->device.empty());

    client.Close();
    ASSERT_TRUE(WaitUntil([&] { return !Connected(); }));
    EXPECT_FALSE(server->ReturnStatus().has_value());
    EXPECT_TRUE(line.Texts().empty()) << "an orderly close shows nothing";
}

TEST_F(GatewayTest, PacketsArrivingInPiecesAreAssembled) {
    StartServer();
    TestClient client;
    ASSERT_TRUE(client.Connect(port));
    auto payload = Bytes(3000);
    auto header = PacketHeader::Make(kFieldUnitMagic, kPacketVideo, true, 3000, 320, 240);
    std::vector<uint8_t> wire(12 + payload.size());
    std::copy_n(header.bytes, 12, wire.begin());
    std::copy(payload.begin(), payload.end(), wire.begin() + 12);
    // Header one byte at a time, then the payload in uneven pieces.
    size_t at = 0;
    for (; at < 12; ++at) {
        ASSERT_TRUE(client.SendBytes(&wire[at], 1));
        std::this_thread::sleep_for(2ms);
    }
    for (size_t piece : {1, 999, 1000, 1000}) {
        std::this_thread::sleep_for(10ms);
        EXPECT_EQ(server->VideoCounters().draws, 0u)
            << "nothing dispatched before the whole packet";
        ASSERT_TRUE(client.SendBytes(&wire[at], piece));
        at += piece;
    }
    ASSERT_TRUE(WaitUntil([&] { return server->VideoCounters().draws == 1; }));
    EXPECT_EQ(session.videoWidth, 320);
    EXPECT_EQ(session.videoHeight, 240);
    EXPECT_EQ(server->VideoCounters().opens, 1u);
}

TEST_F(GatewayTest, PacketTypesAreDispatchedByTheirLowSevenBits) {
    StartServer();
    TestClient client;
    ASSERT_TRUE(client.Connect(port));
    // Length 0 still opens the channels.
    ASSERT_TRUE(client.SendPacket(kPacketVideo, false, 176, 144, {}));
    ASSERT_TRUE(client.SendPacket(0x8A, false, 999, 999, Bytes(10))); // key frame, same channel
    ASSERT_TRUE(client.SendPacket(kPacketAudio, false, 44100, 2, {}));
    ASSERT_TRUE(client.SendPacket(0x94, false, 8000, 1, Bytes(20))); // audio, bit 7 ignored
    ASSERT_TRUE(client.SendPacket(0x01, false, 0, 0, Bytes(5000)));  // unknown: read and dropped
    ASSERT_TRUE(client.SendPacket(kPacketVideo, false, 1, 1, Bytes(7)));
    // Pictures are drawn on a thread of their own, after they are read.
    ASSERT_TRUE(WaitUntil(
        [&] { return server->PacketsRead() == 6 && server->VideoCounters().draws == 3; }, 30s));

    auto v = server->VideoCounters();
    EXPECT_EQ(v.opens, 1u);
    EXPECT_EQ(session.videoWidth, 176)
        << "the opening packet's size holds until the channel closes";
    EXPECT_EQ(session.videoHeight, 144);
    auto a = server->AudioCounters();
    EXPECT_EQ(a.opens, 1u);
    EXPECT_EQ(a.packets, 2u);
    EXPECT_EQ(+playback.nSamplesPerSec, 44100u) << "later audio headers do not change the format";
    EXPECT_TRUE(Connected());

    client.Close();
    ASSERT_TRUE(WaitUntil([&] { return !Connected(); }));
    ASSERT_TRUE(WaitUntil([&] { return server->AudioCounters().closes == 1; }));
    EXPECT_EQ(server->VideoCounters().closes, 1u);
}

TEST_F(GatewayTest, VideoOnlyConnectionNeverTouchesAudio) {
    StartServer();
    TestClient client;
    ASSERT_TRUE(client.Connect(port));
    ASSERT_TRUE(client.SendPacket(kPacketVideo, true, 320, 240, Bytes(100)));
    ASSERT_TRUE(WaitUntil([&] { return server->PacketsRead() == 1; }));
    client.Close();
    ASSERT_TRUE(WaitUntil([&] { return !Connected(); }));
    ASSERT_TRUE(WaitUntil([&] { return server->VideoCounters().closes == 1; }));
    EXPECT_EQ(server->AudioCounters().opens, 0u);
    EXPECT_EQ(server->AudioCounters().closes, 0u);
}

TEST_F(GatewayTest, FirstAudioPacketRewritesThePlaybackFormatForGood) {
    StartServer();
    {
        TestClient client;
        ASSERT_TRUE(client.Connect(port));
        ASSERT_TRUE(client.SendPacket(kPacketAudio, false, 48000, 1, Bytes(8)));
        ASSERT_TRUE(WaitUntil([&] { return server->AudioCounters().opens == 1; }));
    }
    EXPECT_EQ(+playback.nSamplesPerSec, 48000u);
    EXPECT_EQ(+playback.nChannels, 1);
    EXPECT_EQ(+playback.nBlockAlign, 2);
    EXPECT_EQ(+playback.nAvgBytesPerSec, 96000u);
    EXPECT_EQ(+playback.wFormatTag, 1);
    EXPECT_EQ(+playback.wBitsPerSample, 16);
    EXPECT_EQ(+capture.nSamplesPerSec, 44100u) << "the capture format is never touched";

    // It stays for the next session, until a later connection sends audio.
    ASSERT_TRUE(WaitUntil([&] { return !Connected(); }));
    EXPECT_LT(Stop(), 1000ms);
    Fill(port);
    StartServer();
    EXPECT_EQ(+playback.nSamplesPerSec, 48000u);
    TestClient next;
    ASSERT_TRUE(next.Connect(port));
    ASSERT_TRUE(next.SendPacket(kPacketAudio, false, 32000, 2, Bytes(8)));
    ASSERT_TRUE(WaitUntil([&] { return server->AudioCounters().opens == 1; }));
    EXPECT_EQ(+playback.nSamplesPerSec, 32000u);
    EXPECT_EQ(+playback.nBlockAlign, 4);
    EXPECT_EQ(+playback.nAvgBytesPerSec, 128000u);
}

TEST_F(GatewayTest, BadHeadersEndTheConnectionButNotTheSession) {
    StartServer();
    {
        TestClient client;
        ASSERT_TRUE(client.Connect(port));
        // The form that return audio packets carry.
        auto h = PacketHeader::Make(kReturnAudioMagic, kPacketAudio, false, 4, 44100, 2);
        ASSERT_TRUE(client.SendPacket(h, Bytes(4)));
        EXPECT_TRUE(client.WaitForClose(3s));
    }
    ASSERT_TRUE(WaitUntil([&] { return !Connected(); }));
    {
        TestClient client;
        ASSERT_TRUE(client.Connect(port));
        const char garbage[] = "GET / HTTP/1.1\r\nHost: studio\r\n\r\n";
        ASSERT_TRUE(client.SendBytes(garbage, sizeof garbage));
        EXPECT_TRUE(client.WaitForClose(3s));
    }
    ASSERT_TRUE(WaitUntil([&] { return !Connected(); }));
    {
        // A header that promises 16 MiB, a trickle, then the peer resets.
        uint32_t served = server->ConnectionsServed();
        TestClient client;
        ASSERT_TRUE(client.Connect(port));
        auto h = PacketHeader::Make(kFieldUnitMagic, kPacketVideo, true, kMaxPayloadLength, 64, 64);
        ASSERT_TRUE(client.SendBytes(h.bytes, 12));
        ASSERT_TRUE(client.SendBytes(Bytes(1000).data(), 1000));
        ASSERT_TRUE(WaitUntil([&] { return server->ConnectionsServed() == served + 1; }));
        std::this_thread::sleep_for(100ms); // the worker is waiting for the rest
        linger hard{1, 0};
        setsockopt(client.Handle(), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        client.Close();
    }
    ASSERT_TRUE(WaitUntil([&] { return !Connected(); }));
    EXPECT_EQ(server->VideoCounters().draws, 0u);
    // The reset shows the system's text.
    auto texts = line.Texts();
    ASSERT_FALSE(texts.empty());
    EXPECT_EQ(texts.back(), u"Connection reset by peer");

    // Still serving.
    TestClient good;
    ASSERT_TRUE(good.Connect(port));
    ASSERT_TRUE(good.SendPacket(kPacketVideo, true, 320, 240, Bytes(10)));
    ASSERT_TRUE(WaitUntil([&] { return server->VideoCounters().draws == 1; }));
}

TEST_F(GatewayTest, SecondFieldUnitWaitsForTheFirstAndTheOneSecondPause) {
    StartServer();
    TestClient first, second;
    ASSERT_TRUE(first.Connect(port));
    ASSERT_TRUE(WaitUntil([&] { return server->ConnectionsServed() == 1; }));
    ASSERT_TRUE(second.Connect(port)) << "the second one waits in the listen queue";
    ASSERT_TRUE(second.SendPacket(kPacketVideo, true, 640, 480, Bytes(10)));
    ASSERT_TRUE(first.SendPacket(kPacketVideo, true, 320, 240, Bytes(10)));
    ASSERT_TRUE(WaitUntil([&] { return server->VideoCounters().draws == 1; }));
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(server->VideoCounters().draws, 1u) << "only the first is served";
    EXPECT_EQ(session.videoWidth, 320);

    first.Close();
    ASSERT_TRUE(WaitUntil([&] { return !Connected(); }));
    auto ended = Clock::now();
    ASSERT_TRUE(WaitUntil([&] { return server->VideoCounters().draws == 2; }));
    auto waited = Clock::now() - ended;
    EXPECT_GE(waited, 900ms);
    EXPECT_LT(waited, 2000ms);
    EXPECT_EQ(session.videoWidth, 640);
}

TEST_F(GatewayTest, ASilentFieldUnitIsLetGoAndTheNextOneServed) {
    session.idleTimeout = 1;
    StartServer();
    TestClient silent, next;
    ASSERT_TRUE(silent.Connect(port));
    ASSERT_TRUE(WaitUntil([&] { return server->ConnectionsServed() == 1; }));
    // It streamed, then goes quiet in the middle of a header, socket open.
    ASSERT_TRUE(silent.SendPacket(kPacketVideo, true, 320, 240, Bytes(10)));
    auto h = PacketHeader::Make(kFieldUnitMagic, kPacketVideo, true, 10, 320, 240);
    ASSERT_TRUE(silent.SendBytes(h.bytes, 5));
    ASSERT_TRUE(next.Connect(port)) << "queued behind it";
    ASSERT_TRUE(next.SendPacket(kPacketVideo, true, 640, 480, Bytes(10)));

    EXPECT_TRUE(silent.WaitForClose(15s)) << "the silent one is let go";
    ASSERT_TRUE(WaitUntil([&] { return server->VideoCounters().draws == 2; }, 15s))
        << "the next one is served";
    EXPECT_EQ(session.videoWidth, 640);
    auto texts = line.Texts();
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_EQ(texts[0], u"Nothing received from the field unit for 1 s; connection closed.");

    // A field unit that sends, however slowly, is never idle.
    auto slow = PacketHeader::Make(kFieldUnitMagic, kPacketAudio, false, 0, 44100, 2);
    for (int at = 0; at < 12; at += 3) {
        std::this_thread::sleep_for(400ms);
        ASSERT_TRUE(next.SendBytes(slow.bytes + at, 3));
    }
    ASSERT_TRUE(WaitUntil([&] { return server->AudioCounters().packets == 1; }));
    EXPECT_TRUE(Connected());
    EXPECT_EQ(server->ConnectionsServed(), 2u);
    EXPECT_EQ(line.Texts().size(), 1u);
}

TEST_F(GatewayTest, MovingTheVideoKeepsTheChannelOpen) {
    StartServer();
    server->MoveVideo(); // nothing open yet: nothing to move
    TestClient client;
    ASSERT_TRUE(client.Connect(port));
    ASSERT_TRUE(client.SendPacket(kPacketVideo, true, 320, 240, Bytes(10)));
    ASSERT_TRUE(WaitUntil([&] { return server->VideoCounters().draws == 1; }));
    server->MoveVideo();
    server->MoveVideo();
    ASSERT_TRUE(client.SendPacket(kPacketVideo, false, 1280, 720, Bytes(10)));
    ASSERT_TRUE(WaitUntil([&] { return server->VideoCounters().draws == 2; }));
    const auto counters = server->VideoCounters();
    EXPECT_EQ(counters.opens, 1u);
    EXPECT_EQ(counters.closes, 0u);
    EXPECT_EQ(session.videoWidth, 320) << "the size the channel was opened with";
}

TEST_F(GatewayTest, StopEndsTheWorkerWithinASecondInEveryState) {
    // Waiting: right after Start, inside the first one-second wait.
    StartServer();
    EXPECT_LT(Stop(), 1000ms);

    // Accepting: the wait is over and the worker sits in accept.
    StartServer();
    std::this_thread::sleep_for(1300ms);
    EXPECT_LT(Stop(), 1000ms);

    // Connected, and the field unit sends nothing.
    StartServer();
    {
        TestClient idle;
        ASSERT_TRUE(idle.Connect(port));
        ASSERT_TRUE(WaitUntil([&] { return Connected(); }));
        EXPECT_LT(Stop(), 1000ms);
        EXPECT_TRUE(idle.WaitForClose(1s));
    }
    EXPECT_EQ(session.connected, 0u);

    // Connected, with a header sent and the payload never coming.
    StartServer();
    {
        TestClient half;
        ASSERT_TRUE(half.Connect(port));
        auto h = PacketHeader::Make(kFieldUnitMagic, kPacketVideo, true, 5000, 64, 64);
        ASSERT_TRUE(half.SendBytes(h.bytes, 12));
        ASSERT_TRUE(WaitUntil([&] { return Connected(); }));
        std::this_thread::sleep_for(50ms);
        EXPECT_LT(Stop(), 1000ms);
    }

    // Connected and streaming steadily.
    StartServer();
    std::atomic<bool> streaming{true};
    TestClient busy;
    ASSERT_TRUE(busy.Connect(port));
    std::thread sender([&] {
        while (streaming && busy.SendPacket(kPacketVideo, true, 320, 240, Bytes(20000))) {
        }
    });
    ASSERT_TRUE(WaitUntil([&] { return server->VideoCounters().draws > 50; }));
    EXPECT_LT(Stop(), 1000ms);
    streaming = false;
    sender.join();
}

TEST_F(GatewayTest, StopThenStartBindsTheSamePortAgain) {
    StartServer();
    {
        TestClient client;
        ASSERT_TRUE(client.Connect(port));
        ASSERT_TRUE(WaitUntil([&] { return Connected(); }));
        Stop();
    }
    Fill(port);
    StartServer();
    TestClient client;
    ASSERT_TRUE(client.Connect(port));
    ASSERT_TRUE(WaitUntil([&] { return Connected(); }));
    EXPECT_TRUE(line.Texts().empty());
}

TEST_F(GatewayTest, PortInUseIsReportedAndTheSessionStillStartsAndStops) {
    SOCKET squatter = testing_support::Squat(port);
    ASSERT_NE(squatter, INVALID_SOCKET);

    StartServer();
    auto texts = line.Texts();
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_EQ(texts[0], u"Address already in use");
    EXPECT_FALSE(server->Listening());
    std::this_thread::sleep_for(1200ms); // at least one silent accept failure
    EXPECT_EQ(line.Texts().size(), 1u) << "accept failures are not reported";
    EXPECT_FALSE(server->Listening()) << "not tried again unless asked";
    EXPECT_LT(Stop(), 1000ms);
    closesocket(squatter);
}

// Addresses that are not allowed are let go before a byte of theirs is read,
// on an IPv4 listener and on one of both families, and named on the error
// line; the next allowed field unit is served.
TEST_F(GatewayTest, OnlyAllowedAddressesAreServed) {
    auto start = [&](const char* listenOn, const char* allowed) {
        Stop();
        Fill(port);
        SetSessionAddress(session, listenOn);
        CAllowList list;
        std::string problem;
        ASSERT_TRUE(list.AddAll(allowed, problem)) << problem;
        server = std::make_unique<CGateway>(&session);
        server->SetAllowList(list);
        ASSERT_TRUE(server->Start(0));
        EXPECT_TRUE(server->Listening()) << listenOn;
    };
    auto refused = [&](TestClient& client) {
        ASSERT_TRUE(client.SendPacket(kPacketVideo, true, 320, 240, Bytes(100)));
        ASSERT_TRUE(WaitUntil([&] { return server->ConnectionsRefused() == 1; }, 15s));
        EXPECT_TRUE(client.WaitForClose(5s));
        EXPECT_EQ(server->PacketsRead(), 0u);
        auto texts = line.Texts();
        ASSERT_FALSE(texts.empty());
        EXPECT_EQ(texts.back(), Utf8ToUtf16("Refused a connection from " + client.LocalAddress() +
                                            ": not an allowed address."));
    };
    auto served = [&](TestClient& client) {
        ASSERT_TRUE(client.SendPacket(kPacketVideo, true, 320, 240, Bytes(100)));
        ASSERT_TRUE(WaitUntil([&] { return server->PacketsRead() == 1; }, 15s));
        EXPECT_TRUE(Connected());
        EXPECT_EQ(server->ConnectionsServed(), 1u) << "the refused one never was";
    };

    // Both families on one socket: 127.0.0.1 arrives as ::ffff:127.0.0.1.
    start("::", "192.0.2.0/24, ::1");
    {
        TestClient v4, v6;
        ASSERT_TRUE(v4.ConnectTo("127.0.0.1", port));
        ASSERT_TRUE(v6.ConnectTo("::1", port)) << "queued behind the refused one";
        refused(v4);
        served(v6);
    }
    start("::", "127.0.0.0/8");
    {
        TestClient v6, v4;
        ASSERT_TRUE(v6.ConnectTo("::1", port));
        ASSERT_TRUE(v4.ConnectTo("127.0.0.1", port));
        refused(v6);
        served(v4);
    }
    // IPv4 alone; the whole loopback network is this machine's.
    start("127.0.0.1", "127.0.0.2");
    {
        TestClient outsider, allowed;
        ASSERT_TRUE(outsider.ConnectTo("127.0.0.1", port));
        ASSERT_TRUE(allowed.ConnectTo("127.0.0.1", port, "127.0.0.2"));
        refused(outsider);
        served(allowed);
        EXPECT_EQ(server->ConnectionsRefused(), 1u);
    }
}

// Asked to, the server tries the address again every second until it can
// listen, and says so once when it starts trying and once when it listens.
TEST_F(GatewayTest, ListeningIsRetriedUntilThePortIsFree) {
    SOCKET squatter = testing_support::Squat(port);
    ASSERT_NE(squatter, INVALID_SOCKET);

    server = std::make_unique<CGateway>(&session);
    server->SetRetryListen(true);
    ASSERT_TRUE(server->Start(0));
    EXPECT_FALSE(server->Listening());
    const std::u16string where = Utf8ToUtf16("127.0.0.1:" + std::to_string(port));
    ASSERT_TRUE(WaitUntil([&] { return line.Texts().size() == 2; }));
    EXPECT_EQ(line.Texts()[0], u"Address already in use");
    EXPECT_EQ(line.Texts()[1], u"Cannot listen on " + where +
                                   u" (another program listens there already); trying again "
                                   u"every second.");
    std::this_thread::sleep_for(2500ms); // tries that fail again
    EXPECT_EQ(line.Texts().size(), 2u) << "said once";
    EXPECT_FALSE(server->Listening());

    closesocket(squatter);
    ASSERT_TRUE(WaitUntil([&] { return server->Listening(); }, 15s));
    ASSERT_TRUE(WaitUntil([&] { return line.Texts().size() == 3; }));
    EXPECT_EQ(line.Texts()[2], u"Listening on " + where + u".");
    TestClient client;
    ASSERT_TRUE(client.Connect(port));
    ASSERT_TRUE(WaitUntil([&] { return Connected(); }, 15s));

    const auto start = Clock::now();
    EXPECT_TRUE(server->Stop(30000));
    EXPECT_FALSE(server->Listening());
    EXPECT_LT(Clock::now() - start, 1000ms);
}

TEST_F(GatewayTest, DestroyingARunningServerEndsItsThreadFirst) {
    StartServer();
    TestClient client;
    ASSERT_TRUE(client.Connect(port));
    ASSERT_TRUE(WaitUntil([&] { return Connected(); }));
    auto start = Clock::now();
    server.reset(); // no Stop
    EXPECT_LT(Clock::now() - start, 1000ms);
    EXPECT_EQ(session.connected, 0u);
}
