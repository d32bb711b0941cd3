// A program started by a test, as a user would start it from a shell: its
// own environment, its output kept in a file for the failure message, and
// never left running after the test (it also dies with the test process).
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace media {

class CChildProcess {
public:
    CChildProcess() = default;
    virtual ~CChildProcess();
    CChildProcess(const CChildProcess&) = delete;
    CChildProcess& operator=(const CChildProcess&) = delete;

    // argv[0] is looked up on PATH when it has no slash. environment holds
    // NAME=value entries that replace or add to the test's own. Output
    // (stdout and stderr) goes to outputPath, or nowhere when it is empty.
    bool Start(const std::vector<std::string>& argv,
               const std::vector<std::string>& environment = {},
               const std::string& outputPath = {});
    // Start with the output kept in a temporary file of this object's own,
    // for Output(); the file goes with the object.
    bool StartLogged(const std::vector<std::string>& argv);
    bool Running();
    pid_t Pid() const { return pid; }
    void Signal(int signal);
    // The exit code, 128 + the signal's number when a signal ended it, or -1
    // while it still runs after timeout.
    int Wait(std::chrono::milliseconds timeout);
    // SIGTERM, then SIGKILL after grace; safe to repeat.
    void Stop(std::chrono::milliseconds grace = std::chrono::seconds(5));
    // What it printed so far.
    std::string Output() const;
    // True once the output holds text.
    bool WaitForOutput(const std::string& text, std::chrono::milliseconds timeout) const;

private:
    pid_t pid = -1;
    int status = -1;
    std::string outputPath;
    std::string ownOutput;
};

// Runs a short command to its end and returns its exit code (-1 when it did
// not end within timeout; it is then killed), with what it printed on stdout.
int RunCommand(const std::vector<std::string>& argv, std::string* output = nullptr,
               std::chrono::milliseconds timeout = std::chrono::seconds(20));

// The program under test: the one in $LUMEN_PROGRAM_DIR when that is set (to
// test the installed programs, /usr/bin), else the one the build made.
std::string ProgramPath(const std::string& name, const std::string& built);

} // namespace media
