// Messages to the engineer on stderr, one line each, whole lines only even
// when several threads write. Errors and warnings are shown even when quiet.
#pragma once

#include <string>

class CLog {
public:
    virtual ~CLog() = default;

    static void SetQuiet(bool quiet);
    static bool Quiet();
    static void Info(const std::string& text);
    static void Warn(const std::string& text);
    static void Error(const std::string& text);
    // The status line, once a second unless quiet.
    static void Status(const std::string& text);
};
