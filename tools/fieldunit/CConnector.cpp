#include "CConnector.h"

#include "CLog.h"

#include <chrono>
#include <cstring>
#if !defined(_WIN32)
#include <netdb.h>
#endif
#include <system_error>
#include <thread>

namespace {

std::string ErrorText(int code) {
    return std::system_category().message(code);
}

// Bounds one blocking connect: the send time-out also limits connect.
void LimitConnect(SOCKET s, int ms) {
    timeval t{ms / 1000, (ms % 1000) * 1000};
    setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&t), sizeof t);
}

} // namespace

CConnector::Result CConnector::Connect(const std::string& host, uint16_t port,
                                       double timeoutSeconds, const std::atomic<bool>& stop,
                                       SOCKET& out) {
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    const auto deadline = start + std::chrono::milliseconds(int64_t(timeoutSeconds * 1000));
    const std::string where = host + ":" + std::to_string(port);
    bool toldRetrying = false;
    int lastError = 0;
    for (;;) {
        if (stop)
            return Result::Stopped;
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* found = nullptr;
        int rc = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
        if (rc != 0) {
            // A name that does not resolve will not start to listen either.
            error = "cannot find the studio " + host + ": " + gai_strerror(rc);
            return Result::Unreachable;
        }
        for (addrinfo* a = found; a; a = a->ai_next) {
            SOCKET s = ::socket(a->ai_family, a->ai_socktype, a->ai_protocol);
            if (s == INVALID_SOCKET) {
                lastError = WSAGetLastError();
                continue;
            }
            LimitConnect(s, 1000);
            if (receiveBuffer > 0)
                setsockopt(s, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&receiveBuffer),
                           sizeof receiveBuffer);
            if (::connect(s, a->ai_addr, socklen_t(a->ai_addrlen)) == 0) {
                freeaddrinfo(found);
                out = s;
                return Result::Connected;
            }
            lastError = WSAGetLastError();
            closesocket(s);
        }
        freeaddrinfo(found);
        if (timeoutSeconds > 0 && Clock::now() >= deadline) {
            error = "cannot reach the studio at " + where + ": " + ErrorText(lastError);
            return Result::Unreachable;
        }
        if (!toldRetrying) {
            CLog::Info("studio not listening yet, retrying... (" + ErrorText(lastError) + ")");
            toldRetrying = true;
        }
        // Half a second between attempts, cut short by a stop.
        for (int i = 0; i < 10 && !stop; ++i) {
            if (timeoutSeconds > 0 && Clock::now() >= deadline)
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
}
