// The return audio's ring of chunks: opened with any chunk size (none, up to
// a megabyte) and any number of chunks, fed buffers of any length, read at
// any pace. Checked against a plain model: every chunk that leaves is whole
// and holds the bytes written in order, the bytes dropped are those written
// while no chunk was free, and nothing else leaves.
//
// Input: operations of one byte each, followed by their arguments:
//   0 open: 32-bit chunk size (cut to 20 bits), a byte of chunk count (1-16)
//   1 a capture buffer: 32-bit length (cut to 16 bits), a byte of content
//     count, the content; the rest of the buffer counts up
//   2 the reader takes one chunk, if one is there
//   3 a null capture buffer with a 32-bit length
//   4 the reader takes every chunk there is
#include "FuzzInput.h"

#include "return/CChunkRing.h"

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <vector>

namespace {

void Check(bool condition) {
    if (!condition)
        std::abort();
}

void Fill(fuzzing::FuzzInput& input, std::vector<uint8_t>& bytes, uint32_t length,
          uint8_t& counter) {
    bytes.resize(length);
    size_t got = 0;
    const uint8_t* content = input.Bytes(input.U8(), got);
    got = std::min<size_t>(got, length);
    if (got)
        std::memcpy(bytes.data(), content, got);
    for (size_t i = got; i < length; ++i)
        bytes[i] = counter++;
}

// The ring as a plain queue of whole chunks and the chunk being filled.
struct Model {
    uint32_t chunkBytes = 0, chunks = 0;
    std::deque<std::vector<uint8_t>> whole;
    std::vector<uint8_t> filling;
    uint64_t dropped = 0;

    void Write(const std::vector<uint8_t>& bytes) {
        if (chunkBytes == 0)
            return;
        for (size_t at = 0; at < bytes.size();) {
            if (filling.empty() && whole.size() >= chunks) {
                dropped += bytes.size() - at;
                return;
            }
            const size_t n = std::min(bytes.size() - at, size_t(chunkBytes) - filling.size());
            filling.insert(filling.end(), bytes.begin() + ptrdiff_t(at),
                           bytes.begin() + ptrdiff_t(at + n));
            at += n;
            if (filling.size() == chunkBytes) {
                whole.push_back(std::move(filling));
                filling.clear();
            }
        }
    }
};

bool TakeOne(CChunkRing& ring, Model& model) {
    const uint8_t* chunk = ring.Take(std::chrono::milliseconds(0));
    Check((chunk != nullptr) == !model.whole.empty());
    if (!chunk)
        return false;
    Check(std::memcmp(chunk, model.whole.front().data(), model.chunkBytes) == 0);
    model.whole.pop_front();
    ring.Release();
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzing::FuzzInput input(data, size);
    auto ring = std::make_unique<CChunkRing>();
    Model model;
    std::vector<uint8_t> bytes;
    uint8_t counter = 0;

    while (!input.Empty()) {
        switch (input.U8() % 5) {
        case 0: {
            const uint32_t chunkBytes = input.U32() & 0xFFFFF;
            const uint32_t chunks = 1 + input.U8() % 16;
            ring = std::make_unique<CChunkRing>();
            model = Model{};
            Check(ring->Open(chunkBytes, chunks));
            model.chunkBytes = chunkBytes;
            model.chunks = chunkBytes ? chunks : 0;
            break;
        }
        case 1: {
            const uint32_t length = input.U32() & 0xFFFF;
            Fill(input, bytes, length, counter);
            ring->Write(bytes.data(), length);
            model.Write(bytes);
            break;
        }
        case 2:
            TakeOne(*ring, model);
            break;
        case 3:
            ring->Write(nullptr, input.U32());
            break;
        case 4:
            while (TakeOne(*ring, model)) {
            }
            break;
        }
        Check(ring->BytesDropped() == model.dropped);
    }
    return 0;
}
