// What a connection needs beyond the portable socket names: how long it may
// stay quiet, how a vanished peer is found, and sends that never wait.
#pragma once

#include <cstddef>
#include <string>

#if defined(_WIN32)
#include <winsock2.h>
#else
using SOCKET = int;
#endif

namespace platform {

// A receive that gets no byte for timeoutMs fails, with an error code for
// which IsReceiveTimeout holds. 0 waits for ever.
bool SetReceiveTimeout(SOCKET s, int timeoutMs);
bool IsReceiveTimeout(int code);
// A bind refused because another socket listens on that address and port.
bool IsAddressInUse(int code);
// A call cut short by a signal before anything happened: call it again.
bool IsInterrupted(int code);

// Keep-alive probes after idleSeconds without traffic, every intervalSeconds,
// count of them unanswered ending the connection. The system sends them only
// while none of our data waits for acknowledgement.
bool SetDeadPeerDetection(SOCKET s, int idleSeconds, int intervalSeconds, int count);

// The sending side of a connection as the system sees it; -1 where it cannot
// tell.
struct SendState {
    long window = -1; // bytes the peer's window takes beyond what it acknowledged
    long queued = -1; // bytes handed to the system and not yet acknowledged
    long unsent = -1; // of those, bytes not yet sent
    long quietMs = -1; // since anything at all last came from the peer
};
SendState GetSendState(SOCKET s);

// Sends what the socket takes without waiting: the bytes taken (0 when it
// takes none now), or -1 on a socket error, whose code is then the last one.
long SendWithoutWaiting(SOCKET s, const void* data, size_t length);

// The connected peer as "a.b.c.d:port" (an IPv4-mapped peer too) or
// "[v6]:port"; empty when the system cannot tell.
std::string PeerAddress(SOCKET s);

} // namespace platform
