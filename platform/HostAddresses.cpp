#include "HostAddresses.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <algorithm>

namespace platform {

std::vector<std::string> LocalIPv4Addresses() {
    std::vector<std::string> outside, loopback;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return {};
    for (ifaddrs* i = list; i; i = i->ifa_next) {
        if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET) continue;
        if (!(i->ifa_flags & IFF_UP)) continue;
        auto* in = reinterpret_cast<sockaddr_in*>(i->ifa_addr);
        char text[INET_ADDRSTRLEN] = {};
        if (!inet_ntop(AF_INET, &in->sin_addr, text, sizeof text)) continue;
        auto& target = (i->ifa_flags & IFF_LOOPBACK) ? loopback : outside;
        if (std::find(target.begin(), target.end(), text) == target.end()) target.push_back(text);
    }
    freeifaddrs(list);
    outside.insert(outside.end(), loopback.begin(), loopback.end());
    return outside;
}

} // namespace platform
