#include "tools/media/CReturnReader.h"

#include <poll.h>

namespace media {

CReturnReader::CReturnReader(SOCKET socket, Handler handler)
    : sock(socket), onPacket(std::move(handler)), thread([this] { Run(); }) {}

CReturnReader::~CReturnReader() {
    stop = true;
    thread.join();
}

bool CReturnReader::ReceiveAll(uint8_t* p, size_t n) {
    while (n > 0) {
        // Polled briefly, so that destruction never waits on a silent studio.
        if (stop)
            return false;
        pollfd pfd{sock, POLLIN, 0};
        if (poll(&pfd, 1, 50) <= 0)
            continue;
        auto got = recv(sock, p, n, 0);
        if (got <= 0) {
            closedAt = Clock::now().time_since_epoch().count();
            closed = true;
            return false;
        }
        p += got;
        n -= size_t(got);
    }
    return true;
}

void CReturnReader::Run() {
    std::vector<uint8_t> payload;
    PacketHeader header;
    while (ReceiveAll(header.bytes, sizeof header.bytes)) {
        if (header.Magic() != kReturnAudioMagic || header.Type() != kPacketAudio) {
            broken = true;
            return;
        }
        payload.resize(header.PayloadLength());
        if (!ReceiveAll(payload.data(), payload.size()))
            return;
        if (packets == 0)
            firstPacketAt = Clock::now().time_since_epoch().count();
        if (onPacket)
            onPacket(header, payload.data(), payload.size());
        ++packets;
    }
}

} // namespace media
