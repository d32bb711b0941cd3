// Runs the built fieldunit program as a child process, its output captured in
// a file, and waits for its exit code.
#pragma once

#include <chrono>
#include <string>
#include <sys/types.h>
#include <vector>

class FieldProcess {
public:
    FieldProcess();
    ~FieldProcess();
    FieldProcess(const FieldProcess&) = delete;
    FieldProcess& operator=(const FieldProcess&) = delete;

    bool Start(const std::vector<std::string>& args);
    // The exit code, or -1 when the process did not end within timeout (it
    // is then killed).
    int Wait(std::chrono::milliseconds timeout);
    void Signal(int signal);
    // Everything it printed on stdout and stderr so far.
    std::string Output() const;
    // True once the output contains text.
    bool WaitForOutput(const std::string& text, std::chrono::milliseconds timeout) const;

private:
    pid_t pid = -1;
    std::string outputPath;
};
