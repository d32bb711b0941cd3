// Internet addresses as plain bytes, read from text and from the system's
// socket addresses. An IPv4 address is kept in its IPv4-mapped IPv6 form
// (::ffff:a.b.c.d): that is how a listener of both families sees an IPv4
// peer, so that one comparison serves both.
#pragma once

#include <array>
#include <cstdint>
#include <string>

// Only declared here: the system's socket headers clash with the kernel's
// own that some of platform/ needs.
struct sockaddr_storage;

namespace platform {

struct IpAddress {
    std::array<uint8_t, 16> bytes{};

    // An IPv4 address, or an IPv4-mapped IPv6 one.
    bool IsV4() const;
    // "192.0.2.7" for IPv4, mapped or not; "2001:db8::7" for IPv6.
    std::string Text() const;
    friend bool operator==(const IpAddress&, const IpAddress&) = default;
};

// A literal address: dotted-quad IPv4 or IPv6, no brackets, no zone, no
// names. False for anything else.
bool ParseIpAddress(const std::string& text, IpAddress& address);
// "192.0.2.7:8088", or "[2001:db8::7]:8088".
std::string EndpointText(const IpAddress& address, uint16_t port);

// The address and port of a socket address of either family, as accept or
// getpeername filled it; false for any other family.
bool ReadSocketAddress(const sockaddr_storage& from, IpAddress& address, uint16_t& port);
// The socket address to bind to: IPv4 for an IPv4 address (mapped or not),
// IPv6 otherwise. Returns its length.
int MakeSocketAddress(const IpAddress& address, uint16_t port, sockaddr_storage& to);

} // namespace platform
