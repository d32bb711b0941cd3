#include "SocketCompat.h"

namespace platform {

bool SetReuseAddress(SOCKET s) {
    int on = 1;
    return setsockopt(s, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&on),
                      sizeof on) == 0;
}

bool SetBothFamilies(SOCKET s) {
    int off = 0;
    return setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char*>(&off),
                      sizeof off) == 0;
}

void CloseAbortively(SOCKET s) {
    linger abort{1, 0};
    setsockopt(s, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abort), sizeof abort);
    closesocket(s);
}

bool TuneConnection(SOCKET s, int sendTimeoutMs) {
    int on = 1;
    bool ok = setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on),
                         sizeof on) == 0;
    ok &= setsockopt(s, SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<const char*>(&on),
                     sizeof on) == 0;
    // A fixed send buffer: left to itself the kernel grows it to megabytes,
    // seconds of return audio queued for a peer that has stopped reading.
    int sendBuffer = kSendBufferBytes;
    ok &= setsockopt(s, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&sendBuffer),
                     sizeof sendBuffer) == 0;
#if defined(_WIN32)
    DWORD timeout = static_cast<DWORD>(sendTimeoutMs);
#else
    timeval timeout{sendTimeoutMs / 1000, (sendTimeoutMs % 1000) * 1000};
#endif
    ok &= setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&timeout),
                     sizeof timeout) == 0;
    return ok;
}

bool SendAll(SOCKET s, const void* data, size_t length) {
    auto* p = static_cast<const char*>(data);
    while (length > 0) {
        int chunk = length > 0x40000000 ? 0x40000000 : static_cast<int>(length);
        auto sent = send(s, p, chunk, MSG_NOSIGNAL);
        if (sent <= 0) return false;
        p += sent;
        length -= static_cast<size_t>(sent);
    }
    return true;
}

void Wake(SOCKET s) {
    if (s != INVALID_SOCKET) shutdown(s, SD_BOTH);
}

int LastSocketError() { return WSAGetLastError(); }

} // namespace platform
