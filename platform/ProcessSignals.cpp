#include "ProcessSignals.h"

#include <cstdio>
#include <cstdlib>

#if !defined(_WIN32)
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace platform {

#if defined(_WIN32)

int CatchTerminationSignals() { return -1; }
void TakeTerminationSignals(int) {}
bool ErrorOutputIsJournal() { return false; }

#else

namespace {

int pipeWrite = -1;

void OnTermination(int) {
    // Only what is safe in a handler; a full pipe already holds a request.
    const int saved = errno;
    const char byte = 1;
    ssize_t written = write(pipeWrite, &byte, 1);
    (void)written;
    errno = saved;
}

} // namespace

int CatchTerminationSignals() {
    int ends[2];
    if (pipe(ends) != 0)
        return -1;
    for (int end : ends) {
        fcntl(end, F_SETFL, fcntl(end, F_GETFL) | O_NONBLOCK);
        fcntl(end, F_SETFD, FD_CLOEXEC);
    }
    pipeWrite = ends[1];
    struct sigaction action {};
    action.sa_handler = OnTermination;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    if (sigaction(SIGTERM, &action, nullptr) != 0 || sigaction(SIGINT, &action, nullptr) != 0) {
        close(ends[0]);
        close(ends[1]);
        pipeWrite = -1;
        return -1;
    }
    return ends[0];
}

void TakeTerminationSignals(int descriptor) {
    char bytes[16];
    while (read(descriptor, bytes, sizeof bytes) > 0) {
    }
}

bool ErrorOutputIsJournal() {
    // "device:inode" of the stream; a child whose standard error was sent
    // elsewhere inherits the variable but not the stream.
    const char* stream = std::getenv("JOURNAL_STREAM");
    if (!stream)
        return false;
    unsigned long long device = 0, inode = 0;
    if (std::sscanf(stream, "%llu:%llu", &device, &inode) != 2)
        return false;
    struct stat status {};
    if (fstat(STDERR_FILENO, &status) != 0)
        return false;
    return static_cast<unsigned long long>(status.st_dev) == device &&
           static_cast<unsigned long long>(status.st_ino) == inode;
}

#endif

} // namespace platform
