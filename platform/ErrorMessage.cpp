#include "ErrorMessage.h"

#include <atomic>
#include <cstdio>

namespace platform {

namespace {
std::atomic<ErrorMessagePresenter> presenter{nullptr};
} // namespace

void SetErrorMessagePresenter(ErrorMessagePresenter p) { presenter = p; }

void ShowErrorMessage(const std::string& text, const std::string& caption) {
    if (ErrorMessagePresenter show = presenter.load()) {
        show(text, caption);
        return;
    }
    std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
}

} // namespace platform
