// Whole chunks of captured PCM between the capture device's callback, which
// writes straight into the chunk being filled, and the one thread that takes
// them. A full ring loses the newest sound, never the device's time.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

class CChunkRing {
public:
    CChunkRing() = default;
    virtual ~CChunkRing() = default;
    CChunkRing(const CChunkRing&) = delete;
    CChunkRing& operator=(const CChunkRing&) = delete;

    // Room for chunks chunks of chunkBytes each; a chunk size of 0 makes a
    // ring that takes nothing. Before any Write or Take. False without the
    // memory.
    bool Open(uint32_t chunkBytes, uint32_t chunks);

    // The writer, one at a time: copies bytes into the chunk being filled and
    // hands each chunk on as it fills. Bytes that find no free chunk are lost
    // and counted, so a chunk never holds sound from both sides of a gap.
    void Write(const uint8_t* data, uint32_t bytes);

    // The reader, one at a time: the oldest whole chunk, waiting up to
    // timeout for one; null when none came or Wake was called.
    const uint8_t* Take(std::chrono::milliseconds timeout);
    // Gives the chunk Take returned back to the writer.
    void Release();
    // Ends the reader's wait now; any thread.
    void Wake();

    uint32_t ChunkBytes() const { return chunkBytes; }
    // Any thread.
    uint64_t BytesDropped() const { return bytesDropped.load(std::memory_order_relaxed); }
    uint64_t ChunksTaken() const { return released.load(std::memory_order_relaxed); }

private:
    uint32_t chunkBytes = 0;
    uint32_t chunks = 0;
    std::unique_ptr<uint8_t[]> memory;

    // Chunks handed on and given back since Open: the writer owns every
    // slot from released + chunks on, the reader those before filled.
    std::atomic<uint64_t> filled{0};
    std::atomic<uint64_t> released{0};
    std::atomic<uint64_t> bytesDropped{0};
    // The writer's own: how far the chunk being filled is.
    uint32_t fillAt = 0;

    std::mutex waitLock;
    std::condition_variable ready;
    bool woken = false;
};
