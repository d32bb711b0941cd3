#include "CStreamSender.h"

#include "CLog.h"
#include "CStatusLine.h"
#include "core/PacketHeader.h"

#include <chrono>
#include <system_error>

CStreamSender::CStreamSender(SOCKET s, CStatusLine& st) : socket(s), status(st) {
    int size = kSendBuffer;
    setsockopt(socket, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&size), sizeof size);
    // Blocked sends come back every quarter second, so that stalls and stops
    // are noticed.
    platform::TuneConnection(socket, 250);
}

CStreamSender::Result CStreamSender::Send(const media::CMediaPacket& p,
                                          const std::function<bool()>& halted) {
    if (p.data.size() > kMaxPayloadLength) {
        CLog::Warn("a " + std::string(p.type == kPacketVideo ? "video" : "audio") + " packet of " +
                   std::to_string(p.data.size()) +
                   " bytes is too long for the link and was skipped");
        return Result::Skipped;
    }
    PacketHeader h = PacketHeader::Make(kFieldUnitMagic, p.type, p.key, uint32_t(p.data.size()),
                                        p.value1, p.value2);
    Result r = SendBytes(h.bytes, sizeof h.bytes, halted);
    if (r != Result::Sent)
        return r;
    return SendBytes(p.data.data(), p.data.size(), halted);
}

CStreamSender::Result CStreamSender::SendBytes(const uint8_t* data, size_t length,
                                               const std::function<bool()>& halted) {
    using Clock = std::chrono::steady_clock;
    auto blockedSince = Clock::time_point{};
    while (length > 0) {
        int chunk = length > 0x100000 ? 0x100000 : int(length);
        auto sent = ::send(socket, reinterpret_cast<const char*>(data), chunk, MSG_NOSIGNAL);
        if (sent > 0) {
            data += sent;
            length -= size_t(sent);
            blockedSince = Clock::time_point{};
            if (stalled) {
                stalled = false;
                status.SetWaiting(false);
                resumed = true;
                CLog::Info("the studio is serving us now");
            }
            continue;
        }
        int code = WSAGetLastError();
        if (sent < 0 && code == EINTR)
            continue;
        if (sent < 0 && (code == EAGAIN || code == EWOULDBLOCK)) {
            if (halted())
                return Result::Stopped;
            auto now = Clock::now();
            if (blockedSince == Clock::time_point{})
                blockedSince = now;
            if (!stalled && now - blockedSince > std::chrono::milliseconds(kStallMs)) {
                stalled = true;
                status.SetWaiting(true);
                CLog::Info("connected; waiting for the studio to serve us (it may be serving "
                           "another field unit)");
            }
            continue;
        }
        error = "connection to the studio broken: " +
                std::system_category().message(sent < 0 ? code : ECONNRESET);
        return Result::Broken;
    }
    return Result::Sent;
}

bool CStreamSender::TakeResumed() {
    bool r = resumed;
    resumed = false;
    return r;
}
