#include "ThreadPriority.h"

#if defined(__linux__)
#include <pthread.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <fstream>
#include <string>
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

#if defined(__linux__)
namespace {

// Whether the process may lock memory beyond the limit (CAP_IPC_LOCK).
bool MayLockWithoutLimit() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("CapEff:", 0) == 0)
            return (std::stoull(line.substr(7), nullptr, 16) >> 14) & 1;
    return false;
}

} // namespace
#endif

bool KeepMemoryResident() {
#if defined(__linux__) && defined(MCL_ONFAULT)
    // With a limit, locking what is allocated later would make allocations
    // fail once the limit is reached: better to page than to fail.
    rlimit limit{};
    if (getrlimit(RLIMIT_MEMLOCK, &limit) != 0 ||
        (limit.rlim_cur != RLIM_INFINITY && !MayLockWithoutLimit()))
        return false;
    // Locked as they are touched, not all at once: the libraries' pages
    // that are never run stay out of memory.
    return mlockall(MCL_CURRENT | MCL_FUTURE | MCL_ONFAULT) == 0;
#else
    return false;
#endif
}

void SetThreadName(const char* name) {
#if defined(__linux__)
    pthread_setname_np(pthread_self(), name);
#else
    (void)name;
#endif
}

} // namespace platform
