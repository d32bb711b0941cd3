// The operator's stored choices: full screen, the studio audio source by its
// position in the list, the idle time-out of a connection, lip sync, the
// receive latency, where the feed is recorded and published, where metrics
// are served, which field units may connect, and when the alarms come on; for
// a receiver that runs unattended, where it listens, its devices by name, and
// whether it starts and records at launch. One receiver of a user keeps them
// in the user's file, a named one in a file of its own, or any in a file
// given.
#pragma once

#include "instruments/CAlarmPolicy.h"

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
    // Read on its own as well: milliseconds, 0 for Auto.
    std::optional<int> receiveLatency;
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
    // Each read on its own. The program writes the names back only where
    // they were stored, and never Start, Record or DecodePictures.
    std::optional<std::string> listen;  // "a.b.c.d:port"
    std::optional<std::string> output;  // the output device's name
    std::optional<std::string> source;  // the studio source's name, "(none)" for none
    std::optional<bool> start;
    std::optional<bool> record;
    std::optional<std::string> decodePictures;
};

class CConfiguration {
public:
    CConfiguration() = default;
    virtual ~CConfiguration() = default;

    // Where every CConfiguration of the process reads and writes from now
    // on: the INI file when one is given, else the named receiver's own
    // file, else the user's.
    static void SetLocation(const std::string& instance, const std::string& file);
    // The application name the stored choices go by: "Lumenfeed", or
    // "Lumenfeed-NAME" for a named receiver.
    static std::string ApplicationName(const std::string& instance);

    StoredChoices Load();
    void Save(bool full, int audioSource, int idleTimeout, int lipSync);
    void SaveReceiveLatency(int milliseconds);
    void SaveDisplay(bool fullScreenInstruments);
    void SaveFeed(const std::string& recordFolder, const std::vector<std::string>& publishTargets);
    // Writes those given; the others stay as they are.
    void SaveNames(const std::optional<std::string>& listen, const std::optional<std::string>& output,
                   const std::optional<std::string>& source);
};

// The alarms' thresholds as stored: each one that makes sense, the default
// for any other.
CAlarmPolicy::Thresholds AlarmThresholds(const StoredChoices& choices);
