#include "CAudioIn.h"

#include <new>

CAudioIn::CAudioIn(SessionContext* s, CChunkSender* to) : session(s), sender(to) {}

CAudioIn::~CAudioIn() = default;

HRESULT CAudioIn::BufferCB(double, uint8_t* buffer, int32_t length) {
    if (!session->sender || !sender)
        return S_OK;
    int32_t size = session->chunkSize;
    // Without a chunk size (no encoder) nothing could ever leave the queue.
    if (size <= 0 || !buffer || length <= 0)
        return S_OK;
    uint32_t chunkSize = static_cast<uint32_t>(size);
    if (chunkCapacity < chunkSize) {
        chunk.reset(new (std::nothrow) uint8_t[chunkSize]);
        chunkCapacity = chunk ? chunkSize : 0;
    }
    // Without room for a chunk nothing could be taken: the buffer is dropped
    // rather than letting the queue grow.
    if (!chunk)
        return S_OK;
    queue.Append(buffer, static_cast<uint32_t>(length));
    while (queue.Take(chunk.get(), chunkSize))
        sender->Send(chunk.get(), chunkSize);
    return S_OK;
}
