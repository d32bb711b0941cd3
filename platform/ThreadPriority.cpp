#include "ThreadPriority.h"

#if defined(__linux__)
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace platform {

void RaiseThreadPriority(ThreadRole role) {
#if defined(__linux__)
    // Niceness is per thread on Linux. The sound server runs at -11; the
    // receiving thread sits just above ordinary work, below the devices.
    int nice = role == ThreadRole::kAudioDevice ? -11 : -6;
    setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), nice);
#else
    (void)role;
#endif
}

} // namespace platform
