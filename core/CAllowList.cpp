#include "CAllowList.h"

namespace {

constexpr int kMappedBits = 96;

bool Within(const platform::IpAddress& address, const platform::IpAddress& network, int bits) {
    for (size_t i = 0; i < address.bytes.size() && bits > 0; ++i, bits -= 8) {
        const uint8_t mask = bits >= 8 ? 0xFF : uint8_t(0xFF << (8 - bits));
        if ((address.bytes[i] & mask) != (network.bytes[i] & mask))
            return false;
    }
    return true;
}

void ClearHostBits(platform::IpAddress& address, int bits) {
    for (size_t i = 0; i < address.bytes.size(); ++i, bits -= 8) {
        if (bits >= 8)
            continue;
        address.bytes[i] &= bits > 0 ? uint8_t(0xFF << (8 - bits)) : 0;
    }
}

std::string_view Trimmed(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    return text;
}

} // namespace

bool CAllowList::Add(std::string_view entry, std::string& problem) {
    restricting = true;
    const std::string quoted = "'" + std::string(entry) + "'";
    const size_t slash = entry.find('/');
    const std::string address(entry.substr(0, slash));
    Range range;
    if (!platform::ParseIpAddress(address, range.network)) {
        problem = quoted + " is not an address or a network (ADDRESS or ADDRESS/BITS)";
        return false;
    }
    // By how it is written: "::ffff:192.0.2.0/120" is an IPv6 network.
    const bool v6 = address.find(':') != std::string::npos;
    const int most = v6 ? 128 : 32;
    int bits = most;
    if (slash != std::string_view::npos) {
        const std::string_view digits = entry.substr(slash + 1);
        bits = 0;
        bool ok = !digits.empty() && digits.size() <= 3;
        for (char c : digits) {
            ok = ok && c >= '0' && c <= '9';
            bits = bits * 10 + (c - '0');
        }
        if (!ok || bits > most) {
            problem = quoted + ": an " + (most == 32 ? "IPv4" : "IPv6") +
                      " network has a prefix of 0 to " + std::to_string(most) + " bits";
            return false;
        }
    }
    range.bits = v6 ? bits : kMappedBits + bits;
    ClearHostBits(range.network, range.bits);
    ranges.push_back(range);
    return true;
}

bool CAllowList::AddAll(std::string_view entries, std::string& problem) {
    for (;;) {
        const size_t comma = entries.find(',');
        if (!Add(Trimmed(entries.substr(0, comma)), problem))
            return false;
        if (comma == std::string_view::npos)
            return true;
        entries.remove_prefix(comma + 1);
    }
}

bool CAllowList::Allows(const platform::IpAddress& peer) const {
    if (!restricting)
        return true;
    for (const Range& range : ranges)
        if (Within(peer, range.network, range.bits))
            return true;
    return false;
}

std::vector<std::string> CAllowList::Entries() const {
    std::vector<std::string> entries;
    for (const Range& range : ranges) {
        const bool v4 = range.network.IsV4() && range.bits >= kMappedBits;
        entries.push_back(range.network.Text() + "/" +
                          std::to_string(v4 ? range.bits - kMappedBits : range.bits));
    }
    return entries;
}
