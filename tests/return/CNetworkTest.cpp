// The return audio's socket writer over a real loopback connection, with the
// real AAC encoder: what goes on the wire, and what it does when the peer's
// window is closed, takes a packet only in part, or is gone.
#include "return/CNetwork.h"
#include "codec/CAdtsHeader.h"
#include "codec/CAudioEncoder.h"
#include "support/LoopbackPair.h"
#include "support/RecordingLine.h"
#include "support/TestClient.h"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <chrono>
#include <cmath>
#include <memory>
#include <numbers>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using testing_support::RecordingLine;
using testing_support::WaitUntil;

namespace {

using Connection = testing_support::LoopbackPair;

class NetworkTest : public ::testing::Test {
protected:
    void SetUp() override {
        ClearSessionContext(session);
        session.captureFormat = &format;
        frameSize = encoder.Open(&session);
        ASSERT_EQ(frameSize, 1024);
    }
    void TearDown() override { encoder.Close(); }

    // A chunk of a 440 Hz tone, going on from the last.
    const std::vector<uint8_t>& Chunk(uint32_t bytes) {
        chunk.resize(bytes);
        auto* samples = reinterpret_cast<int16_t*>(chunk.data());
        for (size_t i = 0; i < bytes / 4; ++i, ++position) {
            auto v = int16_t(8000 * std::sin(2 * std::numbers::pi * 440 * double(position) / 44100));
            samples[2 * i] = samples[2 * i + 1] = v;
        }
        return chunk;
    }
    void Send(CNetwork& network, int count) {
        for (int i = 0; i < count; ++i)
            network.Send(Chunk(network.ChunkBytes()).data(), network.ChunkBytes());
    }
    // Whole packets, back to back, out of what the peer has received.
    int ReadPackets(SOCKET s) {
        int whole = 0;
        timeval patience{10, 0};
        setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
        for (int n = 0; ioctl(s, FIONREAD, &n) == 0 && n >= 12; ++whole) {
            PacketHeader h;
            EXPECT_EQ(recv(s, h.bytes, 12, MSG_WAITALL), 12);
            EXPECT_EQ(h.Magic(), kReturnAudioMagic) << "after " << whole << " packets";
            std::vector<uint8_t> payload(h.PayloadLength());
            EXPECT_EQ(recv(s, payload.data(), payload.size(), MSG_WAITALL), ssize_t(payload.size()));
            EXPECT_TRUE(CAdtsHeader::IsAdts(payload.data(), payload.size()));
            if (h.Magic() != kReturnAudioMagic)
                break;
        }
        return whole;
    }

    SessionContext session;
    WAVEFORMATEX format = DefaultWaveFormat();
    CAudioEncoder encoder;
    int32_t frameSize = 0;
    RecordingLine line;
    CErrorHandler handler{&line};
    std::vector<uint8_t> chunk;
    uint64_t position = 0;
};

} // namespace

TEST_F(NetworkTest, EachChunkBecomesOnePacketOfFiveFramesBehindTheReturnHeader) {
    Connection c;
    CNetwork network(c.studio, &encoder, frameSize, format, &handler);
    EXPECT_EQ(network.ChunkBytes(), 20480u) << "five frames of 1024 stereo 16-bit samples";
    Send(network, 4);
    ASSERT_TRUE(WaitUntil([&] { return c.Unread() > 0; }, 10s));
    for (int i = 0; i < 3; ++i) {
        uint8_t h[12];
        ASSERT_EQ(recv(c.peer, h, 12, MSG_WAITALL), 12);
        EXPECT_EQ(h[1], 0xFF);
        EXPECT_EQ(h[2], 0x88);
        EXPECT_EQ(h[3], 0x00);
        EXPECT_EQ(h[4], 0x14) << "audio, key flag clear";
        EXPECT_EQ(h[8], 0x44);
        EXPECT_EQ(h[9], 0xAC);
        EXPECT_EQ(h[10], 0x02);
        EXPECT_EQ(h[11], 0x00);
        std::vector<uint8_t> payload(size_t(h[5] | h[6] << 8 | h[7] << 16));
        ASSERT_EQ(recv(c.peer, payload.data(), payload.size(), MSG_WAITALL),
                  ssize_t(payload.size()));
        auto lengths = CAdtsHeader::FrameLengths(payload.data(), payload.size());
        if (i > 0) {
            EXPECT_EQ(lengths.size(), 5u) << "after the encoder's delay, five frames a packet";
        }
    }
    auto counters = network.GetCounters();
    EXPECT_EQ(counters.chunks, 4u);
    EXPECT_EQ(counters.chunksDropped + counters.framesSkipped + counters.packetsDropped, 0u);
    // A chunk shorter than five frames makes no packet.
    network.Send(Chunk(100).data(), 100);
    EXPECT_EQ(network.GetCounters().chunksDropped, 1u);
}

TEST_F(NetworkTest, WithoutAnEncoderNothingIsSent) {
    Connection c;
    CNetwork network(c.studio, nullptr, 0, format, &handler);
    EXPECT_EQ(network.ChunkBytes(), 0u);
    const auto& pcm = Chunk(20480);
    network.Send(pcm.data(), 20480);
    EXPECT_EQ(network.GetCounters().chunksDropped, 1u);
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(c.Unread(), 0);
}

TEST_F(NetworkTest, APeerThatStopsReadingLosesPacketsButNeverHalfAPacket) {
    // A peer that reads nothing, with a small window: packets it cannot take
    // whole are dropped, it is not given up on though it answers only with
    // acknowledgements, and what it did get is whole packets.
    Connection c(2048);
    CNetwork network(c.studio, &encoder, frameSize, format, &handler);
    network.SetPeerGoneAfter(1s);
    for (int i = 0; i < 40; ++i) {
        Send(network, 1);
        std::this_thread::sleep_for(30ms);
    }
    auto counters = network.GetCounters();
    EXPECT_GT(counters.packetsDropped, 10u);
    EXPECT_EQ(counters.chunksDropped, counters.packetsDropped);
    EXPECT_TRUE(line.Texts().empty()) << "an acknowledging peer is not gone";
    EXPECT_GT(ReadPackets(c.peer), 0);
}

TEST_F(NetworkTest, AWindowSmallerThanAPacketStillGetsWholePacketsInOrder) {
    // A window smaller than one packet, read in small pieces: whatever part
    // of a packet the system takes, the rest goes before the next packet.
    Connection c(1);
    // A send buffer of less than two packets, so that one can go in part.
    int small = 1;
    setsockopt(c.studio, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    CNetwork network(c.studio, &encoder, frameSize, format, &handler);
    std::vector<uint8_t> received;
    std::atomic<bool> done{false};
    std::thread reader([&] {
        uint8_t buffer[4096];
        while (!done) {
            auto n = recv(c.peer, buffer, 256, MSG_DONTWAIT);
            if (n > 0)
                received.insert(received.end(), buffer, buffer + n);
            else
                std::this_thread::sleep_for(1ms);
        }
    });
    for (int i = 0; i < 40; ++i) {
        Send(network, 1);
        std::this_thread::sleep_for(5ms);
    }
    done = true;
    reader.join();
    auto counters = network.GetCounters();
    EXPECT_GT(counters.packetsSent, 20u);
    EXPECT_TRUE(line.Texts().empty());
    size_t at = 0;
    int whole = 0;
    while (received.size() - at >= 12) {
        PacketHeader h;
        std::copy_n(received.begin() + ptrdiff_t(at), 12, h.bytes);
        ASSERT_EQ(h.Magic(), kReturnAudioMagic) << "after " << whole << " packets";
        if (received.size() - at < 12 + h.PayloadLength())
            break;
        EXPECT_TRUE(CAdtsHeader::IsAdts(received.data() + at + 12, h.PayloadLength()));
        at += 12 + h.PayloadLength();
        ++whole;
    }
    EXPECT_GE(uint64_t(whole) + 1, counters.packetsSent);
}

TEST_F(NetworkTest, AFailedSendShutsTheConnectionDownWithoutAWord) {
    Connection c;
    CNetwork network(c.studio, &encoder, frameSize, format, &handler);
    Send(network, 3);
    // The peer goes, with unread data: the studio's socket is reset.
    linger hard{1, 0};
    setsockopt(c.peer, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    closesocket(c.peer);
    c.peer = INVALID_SOCKET;
    ASSERT_TRUE(WaitUntil(
        [&] {
            Send(network, 1);
            auto counters = network.GetCounters();
            return counters.chunksDropped > counters.packetsDropped;
        },
        10s));
    // Given up: every later chunk is dropped, none counted as the window's.
    const auto before = network.GetCounters();
    Send(network, 3);
    const auto after = network.GetCounters();
    EXPECT_EQ(after.chunksDropped, before.chunksDropped + 3);
    EXPECT_EQ(after.packetsSent, before.packetsSent);
    EXPECT_TRUE(line.Texts().empty());
}
