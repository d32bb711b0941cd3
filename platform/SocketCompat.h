// The small set of socket names the rest of the code is written against, so
// that nothing outside platform/ depends on the socket flavour of the system.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netdb.h>
#include <cerrno>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

using SOCKET = int;
constexpr SOCKET INVALID_SOCKET = -1;
constexpr int SOCKET_ERROR = -1;
constexpr int SD_SEND = SHUT_WR;
constexpr int SD_BOTH = SHUT_RDWR;

inline int closesocket(SOCKET s) { return ::close(s); }
// The thread's last socket error code.
inline int WSAGetLastError() { return errno; }
inline void WSASetLastError(int code) { errno = code; }
#endif

#ifndef MSG_NOSIGNAL
#define MSG_NOSIGNAL 0
#endif

namespace platform {

// The socket library, from before the first socket until after the last.
// Where sockets need no library (POSIX) these do nothing.
#if defined(_WIN32)
inline bool StartSockets() {
    WSADATA data{};
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
}
inline void StopSockets() { WSACleanup(); }
#else
inline bool StartSockets() { return true; }
inline void StopSockets() {}
#endif

// Lets a listener be bound again at once after it was closed.
bool SetReuseAddress(SOCKET s);
// An IPv6 listener on the any-address takes IPv4 peers too, whatever the
// system's default.
bool SetBothFamilies(SOCKET s);
// Closes with a reset rather than an orderly close: whatever the peer sent
// is thrown away unread, and nothing of the connection lingers.
void CloseAbortively(SOCKET s);
constexpr int kSendBufferBytes = 64 * 1024;

// Sends go out at once (return audio is latency bound), dead peers are noticed,
// at most kSendBufferBytes wait in the send buffer, and a send blocks for at
// most sendTimeoutMs.
bool TuneConnection(SOCKET s, int sendTimeoutMs);
// Sends all of data. False when the peer is gone, the send timed out or failed;
// then part of the data may have gone out.
bool SendAll(SOCKET s, const void* data, size_t length);
// Ends a blocking accept or receive on another thread without closing the
// handle, which that thread may still be using.
void Wake(SOCKET s);
// The error code of the last failed socket call, as WSAGetLastError would give.
int LastSocketError();

} // namespace platform
