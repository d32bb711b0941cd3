#include "TestClient.h"

#include "platform/IpAddress.h"

#include <poll.h>
#include <thread>

namespace testing_support {

namespace {

// 127.0.0.1 at port.
sockaddr_in Loopback(uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

// Binds 127.0.0.1:port (0: any port) for a moment; the port it got, 0 when
// it is taken.
uint16_t TryPort(uint16_t port) {
    SOCKET s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = Loopback(port);
    socklen_t len = sizeof a;
    bool bound = bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
                 getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) == 0;
    closesocket(s);
    return bound ? ntohs(a.sin_port) : 0;
}

} // namespace

uint16_t FreePort() {
    return TryPort(0);
}

SOCKET Squat(uint16_t port) {
    SOCKET s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(s, 4) != 0) {
        closesocket(s);
        return INVALID_SOCKET;
    }
    return s;
}

uint16_t FreePortUpTo(uint16_t highest) {
    static unsigned seed = unsigned(std::chrono::steady_clock::now().time_since_epoch().count());
    for (int attempt = 0; attempt < 1000; ++attempt) {
        seed = seed * 1103515245u + 12345u;
        if (uint16_t port = TryPort(uint16_t(20000 + (seed >> 8) % (highest - 20000 + 1u))))
            return port;
    }
    return 0;
}

bool WaitUntil(const std::function<bool()>& cond, std::chrono::milliseconds timeout) {
    auto end = std::chrono::steady_clock::now() + timeout;
    while (!cond()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

TestClient::~TestClient() { Close(); }

bool TestClient::Connect(uint16_t port, std::chrono::milliseconds timeout) {
    auto end = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        Close();
        sock = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a = Loopback(port);
        if (connect(sock, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) return true;
        if (std::chrono::steady_clock::now() > end) {
            Close();
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

bool TestClient::ConnectTo(const std::string& host, uint16_t port, const std::string& from,
                           std::chrono::milliseconds timeout) {
    platform::IpAddress to, local;
    if (!platform::ParseIpAddress(host, to) ||
        (!from.empty() && !platform::ParseIpAddress(from, local)))
        return false;
    sockaddr_storage a{}, l{};
    const int length = platform::MakeSocketAddress(to, port, a);
    const int localLength = platform::MakeSocketAddress(local, 0, l);
    auto end = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        Close();
        sock = ::socket(a.ss_family, SOCK_STREAM, 0);
        if ((from.empty() ||
             bind(sock, reinterpret_cast<sockaddr*>(&l), socklen_t(localLength)) == 0) &&
            connect(sock, reinterpret_cast<sockaddr*>(&a), socklen_t(length)) == 0)
            return true;
        if (std::chrono::steady_clock::now() > end) {
            Close();
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

std::string TestClient::LocalAddress() const {
    sockaddr_storage a{};
    socklen_t length = sizeof a;
    platform::IpAddress address;
    uint16_t port = 0;
    if (getsockname(sock, reinterpret_cast<sockaddr*>(&a), &length) != 0 ||
        !platform::ReadSocketAddress(a, address, port))
        return {};
    return platform::EndpointText(address, port);
}

bool TestClient::SendBytes(const void* data, size_t length) {
    return platform::SendAll(sock, data, length);
}

bool TestClient::SendPacket(const PacketHeader& header, const std::vector<uint8_t>& payload) {
    std::vector<uint8_t> all(header.bytes, header.bytes + sizeof header.bytes);
    all.insert(all.end(), payload.begin(), payload.end());
    return SendBytes(all.data(), all.size());
}

bool TestClient::SendPacket(uint8_t type, bool key, uint16_t v1, uint16_t v2,
                            const std::vector<uint8_t>& payload) {
    return SendPacket(PacketHeader::Make(kFieldUnitMagic, type, key,
                                         static_cast<uint32_t>(payload.size()), v1, v2),
                      payload);
}

bool TestClient::Receive(void* data, size_t length, std::chrono::milliseconds timeout) {
    auto* p = static_cast<char*>(data);
    auto end = std::chrono::steady_clock::now() + timeout;
    while (length > 0) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd pfd{sock, POLLIN, 0};
        if (poll(&pfd, 1, static_cast<int>(left.count())) <= 0) return false;
        auto got = recv(sock, p, length, 0);
        if (got <= 0) return false;
        p += got;
        length -= static_cast<size_t>(got);
    }
    return true;
}

bool TestClient::WaitForClose(std::chrono::milliseconds timeout) {
    auto end = std::chrono::steady_clock::now() + timeout;
    char buffer[4096];
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd pfd{sock, POLLIN, 0};
        if (poll(&pfd, 1, static_cast<int>(left.count())) <= 0) return false;
        if (recv(sock, buffer, sizeof buffer, 0) <= 0) return true;
    }
}

void TestClient::Close() {
    if (sock != INVALID_SOCKET) {
        closesocket(sock);
        sock = INVALID_SOCKET;
    }
}

} // namespace testing_support
