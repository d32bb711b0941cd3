// Where the status reporter's text goes: the console's red error line. Kept as
// a small interface so that the session core knows nothing of windows.
#pragma once

#include <string>

class CErrorLine {
public:
    virtual ~CErrorLine() = default;
    // Called from any thread; must not wait for the line's own thread.
    virtual void SetText(const std::u16string& text) = 0;
};
