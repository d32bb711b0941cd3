// Getting what was written to a file onto the disk, so that a power failure
// leaves it as it was at the last sync and not as the system last wrote it
// back.
#pragma once

#include <string>

namespace platform {

// Writes the file's data out to the device and waits for it. False when the
// file cannot be opened or the device refuses.
bool SyncFile(const std::string& path);

} // namespace platform
