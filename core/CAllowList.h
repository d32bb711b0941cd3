// Which field units may go on air: their addresses and networks, IPv4 and
// IPv6, in CIDR form. A list that restricts nothing lets everyone in.
#pragma once

#include "platform/IpAddress.h"

#include <string>
#include <string_view>
#include <vector>

class CAllowList {
public:
    virtual ~CAllowList() = default;

    // Adds one entry: an address ("192.0.2.7", "2001:db8::7", a whole /32 or
    // /128) or a network ("192.0.2.0/24", "2001:db8::/32"); host bits under
    // the prefix are ignored. False, with the reason in problem, for anything
    // else; the list still restricts then, so that a list whose every entry
    // was wrong lets nobody in rather than everybody.
    bool Add(std::string_view entry, std::string& problem);
    // Entries separated by commas, spaces around them ignored; stops at the
    // first that is refused.
    bool AddAll(std::string_view entries, std::string& problem);

    // True while it lets everyone in: nothing was added.
    bool Open() const { return !restricting; }
    bool Allows(const platform::IpAddress& peer) const;
    // The entries as read, in CIDR form ("192.0.2.0/24", "::1/128").
    std::vector<std::string> Entries() const;

private:
    // Prefix lengths count over the 128 bits of the IPv6 form, where an
    // IPv4 network of n bits is one of 96 + n.
    struct Range {
        platform::IpAddress network;
        int bits = 0;
    };
    std::vector<Range> ranges;
    bool restricting = false;
};
