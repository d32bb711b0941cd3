#include "CErrorHandler.h"

#include "platform/SystemError.h"

#include <algorithm>

static constexpr char16_t kUnknownError[] = u"Unknown error.";

CErrorHandler::CErrorHandler(CErrorLine* window) : window(window) {}

void CErrorHandler::Report(int32_t kind, uintptr_t value) {
    Report(kind, value, kind == kReportText ? CErrorLine::Level::kWarning : CErrorLine::Level::kError);
}

void CErrorHandler::Report(int32_t kind, uintptr_t value, CErrorLine::Level level) {
    switch (kind) {
    case kReportText:
        if (window && value) window->SetLevelledText(reinterpret_cast<const char16_t*>(value), level);
        break;
    case kReportSystemError:
    case kReportInternetError:
        // There is no separate internet message table here; the system's
        // table is the one that serves such codes as well.
        ReportCode(static_cast<uint32_t>(value), level);
        break;
    default:
        break;
    }
}

void CErrorHandler::ReportCode(uint32_t code, CErrorLine::Level level) {
    if (code == 0 || !window) return;
    std::u16string message = Utf8ToUtf16(platform::SystemErrorText(static_cast<int>(code)));
    std::lock_guard guard(textLock);
    // A text that does not fit the buffer counts as no text at all.
    if (message.empty() || message.size() >= std::size(text)) {
        window->SetLevelledText(kUnknownError, level);
        return;
    }
    std::copy(message.begin(), message.end(), text);
    text[message.size()] = 0;
    window->SetLevelledText(text, level);
}
