// The operator's stored choices: full screen, the studio audio source by its
// position in the list, the idle time-out of a connection, lip sync, where
// the feed is recorded and published, where metrics are served, which field
// units may connect, and when the alarms come on.
#pragma once

#include <optional>
#include <string>
#include <vector>

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
    // Each read on its own as well.
    std::optional<std::string> recordFolder;
    std::optional<std::vector<std::string>> publishTargets;
    // Where metrics are served; set by hand, never saved by the program.
    std::optional<int> metricsPort;
    std::optional<std::string> metricsAddress;
    // The field units that may connect, as written (each is checked where
    // the list is used); set by hand, never saved by the program.
    std::optional<std::vector<std::string>> allowed;
    // Whether the meters and notes are drawn over the full-screen picture,
    // which otherwise goes to air clean; read on its own.
    std::optional<bool> fullScreenInstruments;
    // The alarms' thresholds, each read on its own; set by hand, never saved
    // by the program.
    std::optional<int> pictureFrozenSeconds, pictureBlackSeconds;
    std::optional<int> programmeSilentSeconds, returnSilentSeconds;
    std::optional<int> pictureBlackLevel, silenceLevel;
};

class CConfiguration {
public:
    CConfiguration() = default;
    virtual ~CConfiguration() = default;

    StoredChoices Load();
    void Save(bool full, int audioSource, int idleTimeout, int lipSync);
    void SaveDisplay(bool fullScreenInstruments);
    void SaveFeed(const std::string& recordFolder, const std::vector<std::string>& publishTargets);
};
