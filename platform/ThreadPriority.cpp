#include "ThreadPriority.h"

#if defined(__linux__)
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace platform {

void SetThreadPriority(ThreadRole role) {
#if defined(__linux__)
    // The device threads and the receiving thread do a bounded piece of work
    // each time they wake: where they may, they take real-time priority,
    // below the sound server's own (5), so that no amount of ordinary work on
    // the machine delays them. A large picture comes in many pieces, each of
    // which waits for the receiving thread to wake; an ordinary thread on a
    // busy machine woke late enough to hold the sender up by a hundred
    // milliseconds and more.
    if (role != ThreadRole::kPicture) {
        sched_param param{};
        param.sched_priority = role == ThreadRole::kAudioDevice ? 4 : 2;
        // Threads they create start as ordinary ones.
        if (sched_setscheduler(static_cast<pid_t>(syscall(SYS_gettid)),
                               SCHED_RR | SCHED_RESET_ON_FORK, &param) == 0)
            return;
    }
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
