// The chunk queue of the return audio: the capture callback fed buffers of any
// length (none, negative, null) under any chunk size (none, negative, up to
// the largest a packet can carry), with the sender there or not, and the byte
// queue beneath it driven directly. Both are checked against a plain model:
// every byte accepted leaves in order, in whole chunks of the size in force,
// and nothing else leaves.
//
// Input: operations of one byte each, followed by their arguments:
//   0 chunk size (32-bit; positive values are cut to 24 bits)
//   1 a capture buffer: 32-bit length (positive values cut to 16 bits), a
//     byte of content count, the content; the rest of the buffer counts up
//   2 the connection's sender goes or comes back
//   3 a null capture buffer with a 32-bit length
//   4 the byte queue: append a 16-bit count of bytes, the content as for 1
//   5 the byte queue: take a 32-bit count (cut to 18 bits)
//   6 the byte queue: append from a null pointer, 16-bit count
#include "CodecLibraries.h"
#include "FuzzInput.h"

#include "capture/CAudioIn.h"
#include "capture/CBuffer.h"
#include "capture/CNetwork.h"
#include "codec/CAudioEncoder.h"
#include "core/SessionContext.h"

#include <cstdlib>
#include <cstring>
#include <deque>
#include <vector>

namespace {

void Check(bool condition) {
    if (!condition)
        std::abort();
}

// The boundary of the queue: what the sender is handed, checked against the
// bytes the model holds.
class CCheckingSender : public CNetwork {
public:
    CCheckingSender(SessionContext* session, std::deque<uint8_t>& model)
        : CNetwork(session, std::make_unique<CAudioEncoder>()), session(session), model(model) {}

    void Send(const uint8_t* chunk, uint32_t length) override {
        Check(chunk != nullptr);
        Check(length > 0 && int64_t(length) == int64_t(session->chunkSize));
        Check(model.size() >= length);
        for (uint32_t i = 0; i < length; ++i) {
            Check(chunk[i] == model.front());
            model.pop_front();
        }
    }

private:
    SessionContext* session;
    std::deque<uint8_t>& model;
};

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

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzing::KeepCodecLibrariesLoaded();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzing::FuzzInput input(data, size);
    SessionContext session;
    ClearSessionContext(session);
    // No audio source: the sender builds no capture graph, only its Send is used.
    session.audioSource = 0;

    std::deque<uint8_t> sent;     // accepted by the callback, not yet sent
    std::deque<uint8_t> buffered; // in the byte queue
    CCheckingSender sender(&session, sent);
    session.sender = &sender;
    CAudioIn callback(&session);
    CBuffer queue;
    std::vector<uint8_t> bytes;
    uint8_t counter = 0;

    while (!input.Empty()) {
        switch (input.U8() % 7) {
        case 0: {
            int32_t size = input.I32();
            session.chunkSize = size > 0 ? size & int32_t(kMaxPayloadLength) : size;
            break;
        }
        case 1: {
            int32_t length = input.I32();
            if (length > 0)
                length &= 0xFFFF;
            Fill(input, bytes, length > 0 ? uint32_t(length) : 0, counter);
            bool accepted = session.sender && session.chunkSize > 0 && length > 0;
            if (accepted)
                sent.insert(sent.end(), bytes.begin(), bytes.end());
            Check(callback.BufferCB(0.0, bytes.data(), length) == S_OK);
            break;
        }
        case 2:
            session.sender = session.sender ? nullptr : &sender;
            break;
        case 3:
            Check(callback.BufferCB(0.0, nullptr, input.I32()) == S_OK);
            break;
        case 4: {
            uint32_t count = input.U16();
            Fill(input, bytes, count, counter);
            Check(queue.Append(bytes.data(), count) == 1);
            buffered.insert(buffered.end(), bytes.begin(), bytes.end());
            break;
        }
        case 5: {
            uint32_t count = input.U32() & 0x3FFFF;
            bytes.assign(count, 0);
            int32_t taken = queue.Take(count ? bytes.data() : nullptr, count);
            Check(taken == (count <= buffered.size() ? 1 : 0));
            if (taken) {
                for (uint32_t i = 0; i < count; ++i) {
                    Check(bytes[i] == buffered.front());
                    buffered.pop_front();
                }
            }
            break;
        }
        case 6: {
            uint32_t count = input.U16();
            Check(queue.Append(nullptr, count) == (count == 0 ? 1 : 0));
            break;
        }
        }
        Check(callback.Queued() == sent.size());
        Check(queue.Length() == buffered.size());
    }
    session.sender = nullptr;
    return 0;
}
