#include "SystemError.h"

#include <cstring>
#include <system_error>

namespace platform {

std::string SystemErrorText(int code) {
    std::string text = std::system_category().message(code);
    // glibc invents "Unknown error N" for codes it has no text for; that is
    // not a text of the system's table.
    if (text.empty() || text.rfind("Unknown error", 0) == 0) return {};
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return text;
}

} // namespace platform
