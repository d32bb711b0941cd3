// The ring of whole chunks between the capture device's callback and the
// return audio's streaming thread.
#include "return/CChunkRing.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

namespace {

constexpr uint32_t kChunk = 4096;

// Bytes that count up from start, so that any byte out of place shows.
std::vector<uint8_t> Pattern(size_t start, size_t length) {
    std::vector<uint8_t> bytes(length);
    for (size_t i = 0; i < length; ++i)
        bytes[i] = uint8_t((start + i) * 7 + (start + i) / 251);
    return bytes;
}

// Every chunk there is now, taken and given back.
std::vector<std::vector<uint8_t>> TakeAll(CChunkRing& ring) {
    std::vector<std::vector<uint8_t>> chunks;
    while (const uint8_t* chunk = ring.Take(0ms)) {
        chunks.emplace_back(chunk, chunk + ring.ChunkBytes());
        ring.Release();
    }
    return chunks;
}

} // namespace

TEST(CChunkRing, ChunksLeaveWholeAndInOrderWhateverTheBufferSizes) {
    // 0.75 chunk a buffer: none, one, one, one; then 2.5 chunks at once:
    // two, and half a chunk waits.
    CChunkRing ring;
    ASSERT_TRUE(ring.Open(kChunk, 8));
    const std::vector<uint8_t> sound = Pattern(0, 10 * kChunk);
    size_t written = 0, taken = 0;
    auto write = [&](size_t bytes) {
        ring.Write(sound.data() + written, uint32_t(bytes));
        written += bytes;
        auto chunks = TakeAll(ring);
        for (const auto& chunk : chunks)
            EXPECT_EQ(chunk, Pattern(taken++ * kChunk, kChunk)) << "chunk " << taken - 1;
        return chunks.size();
    };
    std::vector<size_t> counts;
    for (int i = 0; i < 4; ++i)
        counts.push_back(write(kChunk * 3 / 4));
    counts.push_back(write(kChunk * 5 / 2));
    EXPECT_EQ(counts, (std::vector<size_t>{0, 1, 1, 1, 2}));
    EXPECT_EQ(ring.ChunksTaken(), 5u);
    EXPECT_EQ(ring.BytesDropped(), 0u);
    // The half chunk left is finished by the next bytes.
    EXPECT_EQ(write(kChunk / 2), 1u);
}

TEST(CChunkRing, AChunkSizeOfZeroTakesNothingAndNeverLoops) {
    CChunkRing ring;
    ASSERT_TRUE(ring.Open(0, 8));
    const std::vector<uint8_t> sound = Pattern(0, kChunk);
    ring.Write(sound.data(), kChunk);
    ring.Write(nullptr, kChunk);
    EXPECT_EQ(ring.Take(10ms), nullptr);
    EXPECT_EQ(ring.BytesDropped(), 0u);
}

TEST(CChunkRing, AFullRingLosesTheNewestSoundAndCountsIt) {
    CChunkRing ring;
    ASSERT_TRUE(ring.Open(kChunk, 3));
    const std::vector<uint8_t> sound = Pattern(0, 6 * kChunk);
    // Half a chunk more than fits: the half is lost at once, then a whole
    // chunk's worth while nothing is taken.
    ring.Write(sound.data(), kChunk * 7 / 2);
    EXPECT_EQ(ring.BytesDropped(), kChunk / 2);
    ring.Write(sound.data() + kChunk * 7 / 2, kChunk);
    EXPECT_EQ(ring.BytesDropped(), kChunk * 3 / 2);
    // The three kept are the oldest, whole; once one is taken, writing goes
    // on into a fresh chunk.
    ASSERT_NE(ring.Take(0ms), nullptr);
    ring.Release();
    ring.Write(sound.data() + kChunk * 9 / 2, kChunk * 3 / 2);
    auto chunks = TakeAll(ring);
    ASSERT_EQ(chunks.size(), 3u);
    EXPECT_EQ(chunks[0], Pattern(kChunk, kChunk));
    EXPECT_EQ(chunks[1], Pattern(2 * kChunk, kChunk));
    EXPECT_EQ(chunks[2], Pattern(kChunk * 9 / 2, kChunk));
    EXPECT_EQ(ring.BytesDropped(), kChunk * 3 / 2 + kChunk / 2);
}

TEST(CChunkRing, AReaderOnAnotherThreadGetsEveryChunkOrItsLossIsCounted) {
    CChunkRing ring;
    ASSERT_TRUE(ring.Open(kChunk, 4));
    constexpr size_t kBuffers = 3000, kBuffer = 1000;
    std::atomic<bool> done{false};
    size_t chunks = 0, bad = 0;
    std::thread reader([&] {
        std::vector<uint8_t> previous;
        while (!done || ring.Take(0ms)) {
            const uint8_t* chunk = ring.Take(50ms);
            if (!chunk)
                continue;
            // Whatever was lost, the bytes within a chunk follow each other.
            for (uint32_t i = 1; i < kChunk; ++i)
                bad += chunk[i] != uint8_t(chunk[i - 1] + 1);
            ++chunks;
            ring.Release();
        }
    });
    std::vector<uint8_t> buffer(kBuffer);
    uint8_t next = 0;
    for (size_t i = 0; i < kBuffers; ++i) {
        for (auto& b : buffer)
            b = next++;
        ring.Write(buffer.data(), kBuffer);
        if (i % 64 == 0)
            std::this_thread::sleep_for(1ms);
    }
    done = true;
    ring.Wake();
    reader.join();
    EXPECT_EQ(bad, 0u);
    const size_t accounted = chunks * kChunk + ring.BytesDropped();
    ASSERT_LE(accounted, kBuffers * kBuffer);
    EXPECT_LT(kBuffers * kBuffer - accounted, kChunk)
        << "each byte is in a chunk taken, dropped, or in the chunk still filling";
}

TEST(CChunkRing, WakeEndsTheReadersWait) {
    CChunkRing ring;
    ASSERT_TRUE(ring.Open(kChunk, 2));
    std::thread waker([&] {
        std::this_thread::sleep_for(50ms);
        ring.Wake();
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ring.Take(60s), nullptr);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 30s);
    waker.join();
}
