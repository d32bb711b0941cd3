// Both ends of a loopback TCP connection: the studio's and the field unit's.
// The peer's receive buffer, when given, is set before it connects, so that
// it offers that window from the handshake on.
#pragma once

#include "platform/SocketCompat.h"

#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

namespace testing_support {

struct LoopbackPair {
    SOCKET studio = INVALID_SOCKET, peer = INVALID_SOCKET;
    explicit LoopbackPair(int peerBuffer = 0) {
        SOCKET listener = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof a;
        bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a);
        listen(listener, 1);
        getsockname(listener, reinterpret_cast<sockaddr*>(&a), &length);
        peer = ::socket(AF_INET, SOCK_STREAM, 0);
        if (peerBuffer > 0)
            setsockopt(peer, SOL_SOCKET, SO_RCVBUF, &peerBuffer, sizeof peerBuffer);
        connect(peer, reinterpret_cast<sockaddr*>(&a), sizeof a);
        studio = accept(listener, nullptr, nullptr);
        closesocket(listener);
    }
    ~LoopbackPair() {
        if (studio != INVALID_SOCKET)
            closesocket(studio);
        if (peer != INVALID_SOCKET)
            closesocket(peer);
    }
    LoopbackPair(const LoopbackPair&) = delete;
    LoopbackPair& operator=(const LoopbackPair&) = delete;
    // Bytes that have come to the peer and that it has not read.
    int Unread() const {
        int n = 0;
        ioctl(peer, FIONREAD, &n);
        return n;
    }
};

} // namespace testing_support
