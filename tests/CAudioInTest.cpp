// The sample grabber's callback: how captured buffers become chunks for the
// sender. The sender is a CNetwork of the "(none)" source, which captures
// nothing itself, recording what it is handed.
#include "capture/CAudioIn.h"
#include "capture/CNetwork.h"
#include "codec/CAudioEncoder.h"

#include <gtest/gtest.h>

#include <numeric>
#include <vector>

namespace {

class RecordingSender : public CNetwork {
public:
    explicit RecordingSender(SessionContext* session)
        : CNetwork(session, std::make_unique<CAudioEncoder>()) {}
    void Send(const uint8_t* chunk, uint32_t length) override {
        chunks.emplace_back(chunk, chunk + length);
    }
    std::vector<std::vector<uint8_t>> chunks;
};

class AudioInTest : public ::testing::Test {
protected:
    static constexpr int32_t kChunk = 4096;

    void SetUp() override {
        ClearSessionContext(session);
        session.audioSource = 0; // the recorder must not capture by itself
        sender = std::make_unique<RecordingSender>(&session);
        session.sender = sender.get();
        in = std::make_unique<CAudioIn>(&session, sender.get());
        session.chunkSize = kChunk;
    }
    void TearDown() override { session.sender = nullptr; }

    // The next n bytes of a running byte pattern, so that order and loss show.
    std::vector<uint8_t> Next(size_t n) {
        std::vector<uint8_t> v(n);
        for (auto& b : v)
            b = static_cast<uint8_t>(counter++ * 7 + 3);
        return v;
    }
    std::vector<uint8_t> Pattern(size_t from, size_t n) {
        std::vector<uint8_t> v(n);
        for (size_t i = 0; i < n; ++i)
            v[i] = static_cast<uint8_t>((from + i) * 7 + 3);
        return v;
    }

    HRESULT Deliver(std::vector<uint8_t> buffer) {
        return in->BufferCB(0.0, buffer.data(), static_cast<int32_t>(buffer.size()));
    }

    SessionContext session;
    std::unique_ptr<RecordingSender> sender;
    std::unique_ptr<CAudioIn> in;
    size_t counter = 0;
};

} // namespace

TEST_F(AudioInTest, OneChunkIntoAnEmptyQueueIsSentAtOnce) {
    EXPECT_EQ(Deliver(Next(kChunk)), S_OK);
    ASSERT_EQ(sender->chunks.size(), 1u);
    EXPECT_EQ(sender->chunks[0], Pattern(0, kChunk));
    EXPECT_EQ(in->Queued(), 0u);
}

TEST_F(AudioInTest, ThreeQuarterChunkBuffersGiveNoneThenOneEach) {
    const size_t part = kChunk * 3 / 4;
    std::vector<size_t> sends, left;
    for (int i = 0; i < 4; ++i) {
        size_t before = sender->chunks.size();
        EXPECT_EQ(Deliver(Next(part)), S_OK);
        sends.push_back(sender->chunks.size() - before);
        left.push_back(in->Queued());
    }
    EXPECT_EQ(sends, (std::vector<size_t>{0, 1, 1, 1}));
    EXPECT_EQ(left, (std::vector<size_t>{part, kChunk / 2, kChunk / 4, 0}));
    for (size_t i = 0; i < sender->chunks.size(); ++i)
        EXPECT_EQ(sender->chunks[i], Pattern(i * kChunk, kChunk)) << "chunk " << i;
}

TEST_F(AudioInTest, TwoAndAHalfChunksGiveTwoSendsAndKeepHalf) {
    EXPECT_EQ(Deliver(Next(kChunk * 5 / 2)), S_OK);
    ASSERT_EQ(sender->chunks.size(), 2u);
    EXPECT_EQ(sender->chunks[1], Pattern(kChunk, kChunk));
    EXPECT_EQ(in->Queued(), uint32_t(kChunk / 2));
    // The kept half leads the next chunk.
    Deliver(Next(kChunk / 2));
    ASSERT_EQ(sender->chunks.size(), 3u);
    EXPECT_EQ(sender->chunks[2], Pattern(2 * kChunk, kChunk));
}

TEST_F(AudioInTest, NothingIsQueuedWhileThereIsNoSender) {
    session.sender = nullptr;
    EXPECT_EQ(Deliver(Next(kChunk * 3)), S_OK);
    EXPECT_EQ(in->Queued(), 0u);
    session.sender = sender.get();
    EXPECT_TRUE(sender->chunks.empty());
    // Once published, the stream starts with the next buffer.
    Deliver(Next(kChunk));
    ASSERT_EQ(sender->chunks.size(), 1u);
    EXPECT_EQ(sender->chunks[0], Pattern(3 * kChunk, kChunk));
}

TEST_F(AudioInTest, NoChunkSizeNeverLoopsAndQueuesNothing) {
    // A hang here would be the fault; the call must simply return.
    session.chunkSize = 0;
    EXPECT_EQ(Deliver(Next(1000)), S_OK);
    session.chunkSize = -5;
    EXPECT_EQ(Deliver(Next(1000)), S_OK);
    EXPECT_TRUE(sender->chunks.empty());
    EXPECT_EQ(in->Queued(), 0u);
}

TEST_F(AudioInTest, ChunkSizeIsReadAfreshOnEveryCallback) {
    Deliver(Next(kChunk));
    session.chunkSize = kChunk / 2;
    Deliver(Next(kChunk));
    ASSERT_EQ(sender->chunks.size(), 3u);
    EXPECT_EQ(sender->chunks[2].size(), size_t(kChunk / 2));
}

TEST_F(AudioInTest, EmptyAndNullBuffersAreIgnored) {
    EXPECT_EQ(in->BufferCB(0.0, nullptr, 100), S_OK);
    uint8_t byte = 0;
    EXPECT_EQ(in->BufferCB(0.0, &byte, 0), S_OK);
    EXPECT_EQ(in->BufferCB(0.0, &byte, -1), S_OK);
    EXPECT_EQ(in->Queued(), 0u);
    EXPECT_TRUE(sender->chunks.empty());
}
