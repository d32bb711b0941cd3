// A failure the program cannot go on from, told to the operator. This layer
// knows no windows: the console installs a presenter that puts up a message
// box; without one the text goes to the standard error stream.
#pragma once

#include <string>

namespace platform {

// Shows text with caption and returns once the operator has seen it.
using ErrorMessagePresenter = void (*)(const std::string& text, const std::string& caption);

// Null puts the standard error stream back.
void SetErrorMessagePresenter(ErrorMessagePresenter presenter);

// Through the presenter installed, or on the standard error stream.
void ShowErrorMessage(const std::string& text, const std::string& caption);

} // namespace platform
