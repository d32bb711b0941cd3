// The operator's two stored choices: full screen, and the studio audio source
// by its position in the list.
#pragma once

#include <optional>

struct StoredChoices {
    // Each is present only when it was read; a failed read ends the load, so
    // a missing "Full" also leaves "AudioSource" unread.
    std::optional<bool> full;
    std::optional<int> audioSource;
};

class CConfiguration {
public:
    CConfiguration() = default;
    virtual ~CConfiguration() = default;

    StoredChoices Load();
    void Save(bool full, int audioSource);
};
