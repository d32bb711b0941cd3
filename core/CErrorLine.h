// Where the status reporter's text goes: the console's red error line. Kept as
// a small interface so that the session core knows nothing of windows.
#pragma once

#include <string>

class CErrorLine {
public:
    // How grave a text is, for a line that keeps a log: an error leaves part
    // of the link not working, a warning tells of trouble the link rides
    // out, a notice of a change for the better.
    enum class Level { kError, kWarning, kNotice };

    virtual ~CErrorLine() = default;
    // Called from any thread; must not wait for the line's own thread.
    virtual void SetText(const std::u16string& text) = 0;
    // The same with its level; a line that shows no levels shows the text.
    virtual void SetLevelledText(const std::u16string& text, Level level) {
        (void)level;
        SetText(text);
    }
};
