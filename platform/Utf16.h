// UTF-8 to UTF-16, for texts of the system and of the network shown in the
// console.
#pragma once

#include <string>

namespace platform {

// Malformed sequences become U+FFFD.
std::u16string Utf8ToUtf16(const std::string& text);

} // namespace platform
