// The host's own IPv4 addresses, for the operator to choose where to listen.
#pragma once

#include <string>
#include <vector>

namespace platform {

// Dotted-quad addresses of the interfaces that are up, in the system's order,
// with the loopback addresses last. Empty when they cannot be read.
std::vector<std::string> LocalIPv4Addresses();

} // namespace platform
