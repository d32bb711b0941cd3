#include "CStderrLine.h"

#include <QString>

#include <cstdio>
#include <mutex>

CStderrLine::CStderrLine(const std::string& instance, bool toJournal)
    : prefix(instance.empty() ? "lumenfeed: " : "lumenfeed[" + instance + "]: "),
      journal(toJournal) {}

void CStderrLine::SetText(const std::u16string& text) {
    SetLevelledText(text, Level::kWarning);
}

void CStderrLine::SetLevelledText(const std::u16string& text, Level level) {
    Say(QString::fromUtf16(text.data(), qsizetype(text.size())).toStdString(), level);
}

std::string CStderrLine::Format(const std::string& text, Level level) const {
    // syslog's numbers, which the journal reads off a line's start.
    static constexpr const char* kJournal[] = {"<3>", "<4>", "<5>"};
    static constexpr const char* kWord[] = {"error: ", "warning: ", "notice: "};
    const int i = static_cast<int>(level);
    std::string line = journal ? std::string(kJournal[i]) + kWord[i] : prefix + kWord[i];
    // One line each, whatever the text holds.
    for (char c : text)
        line += c == '\n' || c == '\r' ? ' ' : c;
    return line + '\n';
}

void CStderrLine::Say(const std::string& text, Level level) {
    const std::string line = Format(text, level);
    // Lines of several threads are never mixed.
    static std::mutex writing;
    std::lock_guard guard(writing);
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
}
