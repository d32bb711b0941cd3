#include "CChunkRing.h"

#include <algorithm>
#include <cstring>
#include <new>

bool CChunkRing::Open(uint32_t bytes, uint32_t count) {
    chunkBytes = 0;
    chunks = 0;
    filled = released = 0;
    fillAt = 0;
    memory.reset();
    if (bytes == 0 || count == 0)
        return true;
    memory.reset(new (std::nothrow) uint8_t[size_t(bytes) * count]);
    if (!memory)
        return false;
    chunkBytes = bytes;
    chunks = count;
    return true;
}

void CChunkRing::Write(const uint8_t* data, uint32_t bytes) {
    if (!data || chunkBytes == 0)
        return;
    while (bytes > 0) {
        const uint64_t chunk = filled.load(std::memory_order_relaxed);
        // Only at a chunk's start can there be no room: a chunk begun is
        // the writer's until it is whole.
        if (chunk - released.load(std::memory_order_acquire) >= chunks) {
            bytesDropped.fetch_add(bytes, std::memory_order_relaxed);
            return;
        }
        uint8_t* slot = memory.get() + size_t(chunk % chunks) * chunkBytes;
        const uint32_t n = std::min(bytes, chunkBytes - fillAt);
        std::memcpy(slot + fillAt, data, n);
        data += n;
        bytes -= n;
        fillAt += n;
        if (fillAt < chunkBytes)
            return;
        fillAt = 0;
        filled.store(chunk + 1, std::memory_order_release);
        // The lock only orders this against the reader starting to wait.
        { std::lock_guard guard(waitLock); }
        ready.notify_one();
    }
}

const uint8_t* CChunkRing::Take(std::chrono::milliseconds timeout) {
    const uint64_t next = released.load(std::memory_order_relaxed);
    auto available = [&] { return filled.load(std::memory_order_acquire) != next; };
    if (!available()) {
        std::unique_lock lock(waitLock);
        ready.wait_for(lock, timeout, [&] { return woken || available(); });
        woken = false;
        if (!available())
            return nullptr;
    }
    return memory.get() + size_t(next % chunks) * chunkBytes;
}

void CChunkRing::Release() {
    released.fetch_add(1, std::memory_order_release);
}

void CChunkRing::Wake() {
    {
        std::lock_guard guard(waitLock);
        woken = true;
    }
    ready.notify_all();
}
