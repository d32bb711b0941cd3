// Threads that carry sound must not wait behind the rest of a busy machine.
#pragma once

namespace platform {

enum class ThreadRole {
    kAudioDevice, // feeds or drains a sound device: just below the sound server
    kReceive,     // reads the stream and decodes its sound
    kPicture,     // decodes and draws pictures: ordinary work
};

// Sets the calling thread's priority for its role: real-time where the
// process may (its new threads then start as ordinary ones), a better
// niceness where it may not (which its new threads inherit). Without the
// right to raise it at all, it stays as it was.
void SetThreadPriority(ThreadRole role);

// Keeps every page the process touches in memory from then on, so that a
// thread that carries sound never waits for the disk to give back a page the
// system took away. Only where that cannot later make an allocation fail:
// with no limit on locked memory, or the right to exceed it. Says whether
// it could.
bool KeepMemoryResident();

// Names the calling thread for the system's tools, where threads have names
// (at most 15 characters are kept).
void SetThreadName(const char* name);

} // namespace platform
