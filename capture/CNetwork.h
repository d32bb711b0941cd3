// The return audio sender of one connection: captures the studio's audio,
// encodes it as AAC and sends it back to the field unit on the connection.
#pragma once

#include "core/SessionContext.h"

#include <cstdint>

class CNetwork {
public:
    explicit CNetwork(SessionContext* session);
    virtual ~CNetwork();
    CNetwork(const CNetwork&) = delete;
    CNetwork& operator=(const CNetwork&) = delete;

    // One chunk of captured PCM, chunkSize bytes; called on the capture
    // streaming thread.
    virtual void Send(const uint8_t* chunk, uint32_t length);

private:
    SessionContext* session;
};
