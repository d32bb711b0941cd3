#include "IpAddress.h"

#include "SocketCompat.h"

#include <cstring>

namespace platform {

namespace {

constexpr uint8_t kMappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};

void MapV4(const void* v4, IpAddress& address) {
    std::memcpy(address.bytes.data(), kMappedPrefix, 12);
    std::memcpy(address.bytes.data() + 12, v4, 4);
}

} // namespace

bool IpAddress::IsV4() const {
    return std::memcmp(bytes.data(), kMappedPrefix, 12) == 0;
}

std::string IpAddress::Text() const {
    char text[INET6_ADDRSTRLEN] = {};
    const bool v4 = IsV4();
    if (!inet_ntop(v4 ? AF_INET : AF_INET6, bytes.data() + (v4 ? 12 : 0), text, sizeof text))
        return {};
    return text;
}

bool ParseIpAddress(const std::string& text, IpAddress& address) {
    in_addr v4{};
    if (inet_pton(AF_INET, text.c_str(), &v4) == 1) {
        MapV4(&v4, address);
        return true;
    }
    in6_addr v6{};
    if (inet_pton(AF_INET6, text.c_str(), &v6) == 1) {
        std::memcpy(address.bytes.data(), &v6, 16);
        return true;
    }
    return false;
}

std::string EndpointText(const IpAddress& address, uint16_t port) {
    const std::string host = address.IsV4() ? address.Text() : "[" + address.Text() + "]";
    return host + ":" + std::to_string(port);
}

bool ReadSocketAddress(const sockaddr_storage& from, IpAddress& address, uint16_t& port) {
    if (from.ss_family == AF_INET) {
        const auto& in = reinterpret_cast<const sockaddr_in&>(from);
        MapV4(&in.sin_addr, address);
        port = ntohs(in.sin_port);
        return true;
    }
    if (from.ss_family == AF_INET6) {
        const auto& in6 = reinterpret_cast<const sockaddr_in6&>(from);
        std::memcpy(address.bytes.data(), &in6.sin6_addr, 16);
        port = ntohs(in6.sin6_port);
        return true;
    }
    return false;
}

int MakeSocketAddress(const IpAddress& address, uint16_t port, sockaddr_storage& to) {
    to = {};
    if (address.IsV4()) {
        auto& in = reinterpret_cast<sockaddr_in&>(to);
        in.sin_family = AF_INET;
        in.sin_port = htons(port);
        std::memcpy(&in.sin_addr, address.bytes.data() + 12, 4);
        return int(sizeof in);
    }
    auto& in6 = reinterpret_cast<sockaddr_in6&>(to);
    in6.sin6_family = AF_INET6;
    in6.sin6_port = htons(port);
    std::memcpy(&in6.sin6_addr, address.bytes.data(), 16);
    return int(sizeof in6);
}

} // namespace platform
