// The capture devices by the names the capture source matches them by, for
// the operator's list of studio sources.
#pragma once

#include <string>
#include <vector>

class CDevice {
public:
    // In the sound system's order; empty when it has none or is not up.
    static std::vector<std::u16string> Names();
};
