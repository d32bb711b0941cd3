// An error line for tests: keeps every text the status reporter sets.
#pragma once

#include "core/CErrorLine.h"

#include <mutex>
#include <string>
#include <vector>

namespace testing_support {

class RecordingLine : public CErrorLine {
public:
    void SetText(const std::u16string& text) override {
        std::lock_guard guard(mutex);
        texts.push_back(text);
    }
    std::vector<std::u16string> Texts() {
        std::lock_guard guard(mutex);
        return texts;
    }

private:
    std::vector<std::u16string> texts;
    std::mutex mutex;
};

} // namespace testing_support
