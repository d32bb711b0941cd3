// Threads that carry sound must not wait behind the rest of a busy machine.
#pragma once

namespace platform {

enum class ThreadRole {
    kAudioDevice, // feeds or drains a sound device: the sound server's own priority
    kReceive,     // reads the stream and decodes its sound
    kPicture,     // decodes and draws pictures: ordinary work
};

// Sets the calling thread's priority for its role; threads it creates later
// start with the same. Without the right to raise it, it stays as it was.
void SetThreadPriority(ThreadRole role);

} // namespace platform
