// Puts one line of error text on the error line: a ready text, or the
// system's message for an error code.
#pragma once

#include "CErrorLine.h"
#include "platform/Utf16.h"

#include <cstdint>
#include <mutex>

constexpr int32_t kReportText = 0;
constexpr int32_t kReportSystemError = 1;
constexpr int32_t kReportInternetError = 2;

class CErrorHandler {
public:
    explicit CErrorHandler(CErrorLine* window);
    virtual ~CErrorHandler() = default;
    CErrorHandler(const CErrorHandler&) = delete;
    CErrorHandler& operator=(const CErrorHandler&) = delete;

    // kind 0: value points to a zero-terminated UTF-16 text; kind 1 and 2:
    // value is an error code, 0 showing nothing. Other kinds are ignored.
    // Without a level, a system's error is an error and a text a warning.
    void Report(int32_t kind, uintptr_t value);
    void Report(int32_t kind, uintptr_t value, CErrorLine::Level level);
    void ReportText(const char16_t* text) { Report(kReportText, reinterpret_cast<uintptr_t>(text)); }
    void ReportText(const char16_t* text, CErrorLine::Level level) {
        Report(kReportText, reinterpret_cast<uintptr_t>(text), level);
    }

private:
    void ReportCode(uint32_t code, CErrorLine::Level level);

    CErrorLine* window;
    char16_t text[160] = {};
    std::mutex textLock;
};

// UTF-8 to UTF-16; malformed sequences become U+FFFD.
using platform::Utf8ToUtf16;
