#include "CLog.h"

#include <atomic>
#include <cstdio>
#include <mutex>

namespace {
std::mutex lock;
std::atomic<bool> quiet{false};

void Line(const char* prefix, const std::string& text) {
    std::lock_guard guard(lock);
    std::fprintf(stderr, "fieldunit: %s%s\n", prefix, text.c_str());
    std::fflush(stderr);
}
} // namespace

void CLog::SetQuiet(bool q) {
    quiet = q;
}
bool CLog::Quiet() {
    return quiet;
}

void CLog::Info(const std::string& text) {
    if (!quiet)
        Line("", text);
}

void CLog::Warn(const std::string& text) {
    Line("warning: ", text);
}

void CLog::Error(const std::string& text) {
    Line("error: ", text);
}

void CLog::Status(const std::string& text) {
    if (!quiet)
        Line("", text);
}
