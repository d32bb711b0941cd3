#include "tools/media/CChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace media {

namespace {

std::vector<std::string> MergedEnvironment(const std::vector<std::string>& overrides) {
    std::vector<std::string> merged;
    for (char** e = environ; *e; ++e) {
        std::string entry = *e;
        std::string name = entry.substr(0, entry.find('='));
        bool replaced = false;
        for (const std::string& o : overrides)
            if (o.substr(0, o.find('=')) == name)
                replaced = true;
        if (!replaced)
            merged.push_back(entry);
    }
    merged.insert(merged.end(), overrides.begin(), overrides.end());
    return merged;
}

std::vector<char*> Pointers(std::vector<std::string>& strings) {
    std::vector<char*> p;
    for (std::string& s : strings)
        p.push_back(s.data());
    p.push_back(nullptr);
    return p;
}

// Everything the child needs is prepared before the fork: between fork and
// exec only async-signal-safe calls are made.
pid_t Spawn(std::vector<std::string> argv, std::vector<std::string> environment, int outFd,
            int errFd) {
    std::vector<char*> args = Pointers(argv);
    std::vector<char*> env = Pointers(environment);
    const pid_t parent = getpid();
    pid_t child = fork();
    if (child != 0)
        return child;
    // A test killed by its time-out must not leave the program behind.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent)
        _exit(127);
    int devNull = open("/dev/null", O_RDWR);
    dup2(devNull, STDIN_FILENO);
    dup2(outFd >= 0 ? outFd : devNull, STDOUT_FILENO);
    dup2(errFd >= 0 ? errFd : devNull, STDERR_FILENO);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execvpe(args[0], args.data(), env.data());
    _exit(127);
}

int ExitCode(int status) {
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return -1;
}

} // namespace

CChildProcess::~CChildProcess() {
    Stop();
    if (!ownOutput.empty())
        unlink(ownOutput.c_str());
}

bool CChildProcess::Start(const std::vector<std::string>& argv,
                          const std::vector<std::string>& environment, const std::string& output) {
    Stop();
    outputPath = output;
    int fd = -1;
    if (!outputPath.empty()) {
        fd = open(outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0)
            return false;
    }
    pid = Spawn(argv, MergedEnvironment(environment), fd, fd);
    if (fd >= 0)
        close(fd);
    status = -1;
    return pid > 0;
}

bool CChildProcess::StartLogged(const std::vector<std::string>& argv) {
    if (ownOutput.empty()) {
        char name[] = "/tmp/lumen-child-output.XXXXXX";
        int fd = mkstemp(name);
        if (fd < 0)
            return false;
        close(fd);
        ownOutput = name;
    }
    return Start(argv, {}, ownOutput);
}

bool CChildProcess::Running() {
    return Wait(std::chrono::milliseconds(0)) == -1 && pid > 0;
}

void CChildProcess::Signal(int signal) {
    if (pid > 0)
        kill(pid, signal);
}

int CChildProcess::Wait(std::chrono::milliseconds timeout) {
    if (pid <= 0)
        return status >= 0 ? ExitCode(status) : -1;
    auto end = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int s = 0;
        pid_t got = waitpid(pid, &s, WNOHANG);
        if (got == pid) {
            status = s;
            pid = -1;
            return ExitCode(s);
        }
        if (got < 0) {
            pid = -1;
            return -1;
        }
        if (std::chrono::steady_clock::now() >= end)
            return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

void CChildProcess::Stop(std::chrono::milliseconds grace) {
    if (pid <= 0)
        return;
    kill(pid, SIGTERM);
    if (Wait(grace) == -1 && pid > 0) {
        kill(pid, SIGKILL);
        Wait(std::chrono::seconds(10));
    }
}

std::string CChildProcess::Output() const {
    if (outputPath.empty())
        return {};
    std::ifstream in(outputPath);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

bool CChildProcess::WaitForOutput(const std::string& text,
                                  std::chrono::milliseconds timeout) const {
    auto end = std::chrono::steady_clock::now() + timeout;
    while (Output().find(text) == std::string::npos) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

int RunCommand(const std::vector<std::string>& argv, std::string* output,
               std::chrono::milliseconds timeout) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return -1;
    pid_t child = Spawn(argv, MergedEnvironment({}), fds[1], -1);
    close(fds[1]);
    if (child < 0) {
        close(fds[0]);
        return -1;
    }
    std::string text;
    auto end = std::chrono::steady_clock::now() + timeout;
    bool timedOut = false;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            timedOut = true;
            break;
        }
        pollfd p{fds[0], POLLIN, 0};
        if (poll(&p, 1, int(left.count())) <= 0)
            continue;
        char buffer[4096];
        ssize_t got = read(fds[0], buffer, sizeof buffer);
        if (got <= 0)
            break;
        text.append(buffer, size_t(got));
    }
    close(fds[0]);
    if (timedOut)
        kill(child, SIGKILL);
    int s = 0;
    while (waitpid(child, &s, 0) < 0 && errno == EINTR) {
    }
    if (output)
        *output = text;
    return timedOut ? -1 : ExitCode(s);
}

std::string ProgramPath(const std::string& name, const std::string& built) {
    const char* dir = std::getenv("LUMEN_PROGRAM_DIR");
    if (!dir || !*dir)
        return built;
    return std::string(dir) + "/" + name;
}

} // namespace media
