#include "FieldProcess.h"

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <spawn.h>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

FieldProcess::FieldProcess() {
    char name[] = "/tmp/fieldunit-output.XXXXXX";
    int fd = mkstemp(name);
    if (fd >= 0)
        close(fd);
    outputPath = name;
}

FieldProcess::~FieldProcess() {
    if (pid > 0) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    unlink(outputPath.c_str());
}

bool FieldProcess::Start(const std::vector<std::string>& args) {
    std::vector<std::string> all{FIELDUNIT_PATH};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 2, outputPath.c_str(), O_WRONLY | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&actions, 2, 1);
    int rc = posix_spawn(&pid, all[0].c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
        pid = -1;
    return rc == 0;
}

int FieldProcess::Wait(std::chrono::milliseconds timeout) {
    if (pid <= 0)
        return -1;
    auto until = std::chrono::steady_clock::now() + timeout;
    int status = 0;
    for (;;) {
        pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid)
            break;
        if (std::chrono::steady_clock::now() > until) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
            pid = -1;
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

void FieldProcess::Signal(int signal) {
    if (pid > 0)
        kill(pid, signal);
}

std::string FieldProcess::Output() const {
    std::ifstream in(outputPath);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

bool FieldProcess::WaitForOutput(const std::string& text, std::chrono::milliseconds timeout) const {
    auto until = std::chrono::steady_clock::now() + timeout;
    while (Output().find(text) == std::string::npos) {
        if (std::chrono::steady_clock::now() > until)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}
