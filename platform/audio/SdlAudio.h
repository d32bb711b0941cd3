// Keeps SDL's audio subsystem up for as long as any holder lives. Every user
// of SDL audio (output devices, capture devices) holds one.
#pragma once

namespace platform {

class CSdlAudio {
public:
    CSdlAudio();
    virtual ~CSdlAudio();
    CSdlAudio(const CSdlAudio&) = delete;
    CSdlAudio& operator=(const CSdlAudio&) = delete;

    // False when SDL's audio could not be started; then there are no devices.
    bool Ok() const { return ok; }

private:
    bool ok = false;
};

} // namespace platform
