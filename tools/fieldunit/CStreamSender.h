// Writes packets to the studio, each behind its PacketHeader. Notices when the
// studio stops taking data: a studio serving another field unit leaves us in
// its listen queue, connected but unread.
#pragma once

#include "platform/SocketCompat.h"
#include "tools/media/CMediaPacket.h"

#include <atomic>
#include <functional>
#include <string>

class CStatusLine;

class CStreamSender {
public:
    CStreamSender(SOCKET socket, CStatusLine& status);
    virtual ~CStreamSender() = default;

    enum class Result { Sent, Skipped, Stopped, Broken };

    Result Send(const media::CMediaPacket& packet, const std::function<bool()>& halted);
    // True once after data flowed again following a stall.
    bool TakeResumed();
    // True while a send has been blocked for longer than kStallMs.
    bool Stalled() const { return stalled; }
    const std::string& Error() const { return error; }

    // Our send buffer: small, so that a studio that does not read is noticed
    // soon and little stale media piles up in front of the live picture.
    static constexpr int kSendBuffer = 64 * 1024;
    static constexpr int kStallMs = 1000;

private:
    Result SendBytes(const uint8_t* data, size_t length, const std::function<bool()>& halted);

    SOCKET socket;
    CStatusLine& status;
    std::atomic<bool> stalled{false};
    bool resumed = false;
    std::string error;
};
