// A message box with no owner window, for failures the program cannot go on
// from.
#pragma once

#include <string>

namespace platform {

// Shows text with caption and a single OK button and returns when it is
// dismissed. Off the GUI thread, or with no GUI at all, the text goes to the
// standard error stream instead.
void ShowErrorMessage(const std::string& text, const std::string& caption);

} // namespace platform
