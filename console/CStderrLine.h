// The error line of a receiver without a window: every text on standard
// error, one line each with its level, for the system's journal to keep.
// Lines that go to the journal begin with its "<N>" level; elsewhere with
// the program's name, the receiver's in brackets.
#pragma once

#include "core/CErrorLine.h"

#include <string>

class CStderrLine : public CErrorLine {
public:
    CStderrLine(const std::string& instance, bool journal);

    // A text without a level is a warning, as the reporter's are.
    void SetText(const std::u16string& text) override;
    void SetLevelledText(const std::u16string& text, Level level) override;
    void Say(const std::string& text, Level level);

    // The line written for text, with its ending.
    std::string Format(const std::string& text, Level level) const;

private:
    std::string prefix;
    bool journal;
};
