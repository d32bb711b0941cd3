// The system's own message text for an error code.
#pragma once

#include <string>

namespace platform {

// The text, without a trailing line break; empty when the system has none.
std::string SystemErrorText(int code);

} // namespace platform
