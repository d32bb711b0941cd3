// The operator's stored choices: full screen, the studio audio source by its
// position in the list, the idle time-out of a connection, and lip sync.
#pragma once

#include <optional>

struct StoredChoices {
    // Each is present only when it was read; a failed read ends the load, so
    // a missing "Full" also leaves "AudioSource" unread.
    std::optional<bool> full;
    std::optional<int> audioSource;
    // Read on its own: it came later, and its absence leaves the others be.
    std::optional<int> idleTimeout;
    // Read on its own too: the picture's offset against the sound, or the
    // value that means pictures are not held back at all.
    std::optional<int> lipSync;
};

class CConfiguration {
public:
    CConfiguration() = default;
    virtual ~CConfiguration() = default;

    StoredChoices Load();
    void Save(bool full, int audioSource, int idleTimeout, int lipSync);
};
