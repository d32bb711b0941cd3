#include "ThreadPriority.h"

#if defined(__linux__)
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace platform {

void SetThreadPriority(ThreadRole role) {
#if defined(__linux__)
    // Niceness is per thread on Linux, and inherited by the threads a thread
    // creates. The sound server runs at -11; the receiving thread sits above
    // ordinary work, below the devices; the picture thread (and the
    // decoder's own threads, which it starts) is ordinary work again.
    int nice = role == ThreadRole::kAudioDevice ? -11 : role == ThreadRole::kReceive ? -6 : 0;
    setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), nice);
#else
    (void)role;
#endif
}

} // namespace platform
