#include "SocketOptions.h"

#include "IpAddress.h"

#include <algorithm>

#if defined(_WIN32)
#include <mstcpip.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#if defined(__linux__)
// The kernel's own tcp_info: the C library's copy stops before the peer's
// window.
#include <cstddef>
#include <linux/sockios.h>
#include <linux/tcp.h>
#else
#include <netinet/tcp.h>
#endif
#endif

namespace platform {

bool SetReceiveTimeout(SOCKET s, int timeoutMs) {
#if defined(_WIN32)
    DWORD timeout = static_cast<DWORD>(timeoutMs);
#else
    timeval timeout{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
#endif
    return setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout),
                      sizeof timeout) == 0;
}

bool IsAddressInUse(int code) {
#if defined(_WIN32)
    return code == WSAEADDRINUSE;
#else
    return code == EADDRINUSE;
#endif
}

bool IsInterrupted(int code) {
#if defined(_WIN32)
    return code == WSAEINTR;
#else
    return code == EINTR;
#endif
}

bool IsReceiveTimeout(int code) {
#if defined(_WIN32)
    return code == WSAETIMEDOUT;
#else
    return code == EAGAIN || code == EWOULDBLOCK;
#endif
}

static bool SetInt(SOCKET s, int level, int name, int value) {
    return setsockopt(s, level, name, reinterpret_cast<const char*>(&value), sizeof value) == 0;
}

bool SetDeadPeerDetection(SOCKET s, int idleSeconds, int intervalSeconds, int count) {
    bool ok = SetInt(s, SOL_SOCKET, SO_KEEPALIVE, 1);
#if defined(_WIN32)
    tcp_keepalive keepAlive{1, ULONG(idleSeconds) * 1000, ULONG(intervalSeconds) * 1000};
    DWORD returned = 0;
    ok &= WSAIoctl(s, SIO_KEEPALIVE_VALS, &keepAlive, sizeof keepAlive, nullptr, 0, &returned,
                   nullptr, nullptr) == 0;
    (void)count;
#else
#if defined(TCP_KEEPIDLE)
    ok &= SetInt(s, IPPROTO_TCP, TCP_KEEPIDLE, idleSeconds);
#elif defined(TCP_KEEPALIVE)
    ok &= SetInt(s, IPPROTO_TCP, TCP_KEEPALIVE, idleSeconds);
#endif
    ok &= SetInt(s, IPPROTO_TCP, TCP_KEEPINTVL, intervalSeconds);
    ok &= SetInt(s, IPPROTO_TCP, TCP_KEEPCNT, count);
#endif
    return ok;
}

SendState GetSendState(SOCKET s) {
    SendState state;
#if defined(__linux__)
    tcp_info info{};
    socklen_t length = sizeof info;
    if (getsockopt(s, IPPROTO_TCP, TCP_INFO, &info, &length) != 0 ||
        length < offsetof(tcp_info, tcpi_snd_wnd) + sizeof info.tcpi_snd_wnd)
        return state;
    int queued = 0, unsent = 0;
    if (ioctl(s, SIOCOUTQ, &queued) != 0 || ioctl(s, SIOCOUTQNSD, &unsent) != 0)
        return state;
    state.window = long(info.tcpi_snd_wnd);
    state.queued = queued;
    state.unsent = unsent;
    // Anything from the peer counts: data, or an acknowledgement alone.
    state.quietMs = long(std::min(info.tcpi_last_data_recv, info.tcpi_last_ack_recv));
#else
    (void)s;
#endif
    return state;
}

long SendWithoutWaiting(SOCKET s, const void* data, size_t length) {
#if defined(_WIN32)
    // No per-call flag here: a send bounded by the socket's send time-out.
    int sent = send(s, static_cast<const char*>(data), int(length), 0);
    if (sent == SOCKET_ERROR)
        return WSAGetLastError() == WSAETIMEDOUT ? 0 : -1;
    return sent;
#else
#if defined(MSG_NOSIGNAL)
    constexpr int kFlags = MSG_DONTWAIT | MSG_NOSIGNAL;
#else
    constexpr int kFlags = MSG_DONTWAIT;
#endif
    for (;;) {
        auto sent = send(s, data, length, kFlags);
        if (sent >= 0)
            return long(sent);
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return 0;
        return -1;
    }
#endif
}

std::string PeerAddress(SOCKET s) {
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    IpAddress address;
    uint16_t port = 0;
    if (getpeername(s, reinterpret_cast<sockaddr*>(&peer), &length) != 0 ||
        !ReadSocketAddress(peer, address, port))
        return {};
    return EndpointText(address, port);
}

} // namespace platform
