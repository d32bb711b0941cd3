// The sample grabber's callback of one connection: queues the captured PCM and
// hands every whole chunk of chunkSize bytes to the connection's sender.
#pragma once

#include "CBuffer.h"
#include "CCallback.h"
#include "CChunkSender.h"
#include "core/SessionContext.h"

#include <cstdint>
#include <memory>

class CAudioIn : public CCallback {
public:
    // Chunks go to sender while the session publishes a sender.
    CAudioIn(SessionContext* session, CChunkSender* sender);
    // Called on the capture streaming thread, one call at a time. Always S_OK.
    HRESULT BufferCB(double sampleTime, uint8_t* buffer, int32_t length) override;
    virtual ~CAudioIn();
    CAudioIn(const CAudioIn&) = delete;
    CAudioIn& operator=(const CAudioIn&) = delete;

    // Bytes queued towards the next chunk.
    uint32_t Queued() const { return queue.Length(); }

private:
    SessionContext* session;
    CChunkSender* sender;
    CBuffer queue;
    // Reused from callback to callback; sized to the chunk.
    std::unique_ptr<uint8_t[]> chunk;
    uint32_t chunkCapacity = 0;
};
