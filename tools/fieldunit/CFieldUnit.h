// One run of the field unit: opens the source, connects to the studio, sends
// until the end, the duration or a stop, and receives the return audio
// meanwhile. Gives the exit code.
#pragma once

#include "COptions.h"

#include <atomic>

class CFieldUnit {
public:
    explicit CFieldUnit(const COptions& options);
    virtual ~CFieldUnit() = default;

    // stop is set from outside (a signal) to end the run cleanly.
    int Run(const std::atomic<bool>& stop);

    // How long the studio gets to read what we sent and close its end.
    static constexpr int kCloseGraceMs = 2000;
    // The receive buffer of a field unit that does not read the return audio.
    static constexpr int kIgnoredReceiveBuffer = 8 * 1024;

private:
    const COptions& options;
};
