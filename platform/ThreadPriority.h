// Threads that carry sound must not wait behind the rest of a busy machine.
#pragma once

namespace platform {

enum class ThreadRole {
    kAudioDevice, // feeds or drains a sound device: the sound server's own priority
    kReceive,     // reads the stream and decodes its sound
};

// Raises the calling thread for its role. Without the right to do so it stays
// as it was.
void RaiseThreadPriority(ThreadRole role);

} // namespace platform
