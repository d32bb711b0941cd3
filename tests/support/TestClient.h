// A field unit for tests: a plain TCP client on 127.0.0.1 that writes packets
// exactly as it is told, byte by byte if need be.
#pragma once

#include "core/PacketHeader.h"
#include "platform/SocketCompat.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace testing_support {

// A TCP port on 127.0.0.1 that nobody listens on right now.
uint16_t FreePort();
// A free port from 20000 up to highest, for places whose port range is limited.
uint16_t FreePortUpTo(uint16_t highest);
// Another program listening on 127.0.0.1:port; INVALID_SOCKET when it cannot.
SOCKET Squat(uint16_t port);

// Polls cond every few milliseconds until it holds or timeout passes.
bool WaitUntil(const std::function<bool()>& cond,
               std::chrono::milliseconds timeout = std::chrono::seconds(5));

class TestClient {
public:
    TestClient() = default;
    ~TestClient();
    TestClient(const TestClient&) = delete;
    TestClient& operator=(const TestClient&) = delete;

    // Connects, retrying for up to timeout while nobody listens yet.
    bool Connect(uint16_t port, std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // The same to host (an IPv4 or IPv6 address), from the local address
    // from when one is given.
    bool ConnectTo(const std::string& host, uint16_t port, const std::string& from = {},
                   std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // The local end, as "a.b.c.d:port" or "[v6]:port".
    std::string LocalAddress() const;
    bool SendBytes(const void* data, size_t length);
    bool SendPacket(const PacketHeader& header, const std::vector<uint8_t>& payload);
    bool SendPacket(uint8_t type, bool key, uint16_t v1, uint16_t v2,
                    const std::vector<uint8_t>& payload);
    // Reads exactly length bytes, or fails after timeout.
    bool Receive(void* data, size_t length, std::chrono::milliseconds timeout);
    // True once the server has closed its end (a read gives 0 or an error).
    bool WaitForClose(std::chrono::milliseconds timeout);
    void Close();
    SOCKET Handle() const { return sock; }

private:
    SOCKET sock = INVALID_SOCKET;
};

} // namespace testing_support
