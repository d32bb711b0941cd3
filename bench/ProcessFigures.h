// What the benchmarks read of the programs they run, and of the machine:
// from /proc, so Linux only, as the benchmarks are.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

// The machine's one-minute load average: the programs share it with
// whatever else runs, and a starved player is heard. -1 when unknown.
inline double Load() {
    double load = -1;
    std::ifstream("/proc/loadavg") >> load;
    return load;
}

// A process's resident memory in kB, 0 when it cannot be read.
inline long ResidentKb(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0)
            return std::atol(line.c_str() + 6);
    return 0;
}

// Its share of the memory it shares with others (the libraries, counted
// once across the processes that map them), plus its own, in kB: what one
// more such process costs the machine. 0 when it cannot be read.
inline long ProportionalKb(pid_t pid) {
    std::ifstream rollup("/proc/" + std::to_string(pid) + "/smaps_rollup");
    for (std::string line; std::getline(rollup, line);)
        if (line.rfind("Pss:", 0) == 0)
            return std::atol(line.c_str() + 4);
    return 0;
}

// The CPU time a process has used so far, user and system, in seconds.
inline double CpuSeconds(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    const std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    // utime and stime are the 14th and 15th fields; the command before
    // them, in parentheses, may hold spaces.
    const size_t close = text.rfind(')');
    if (close == std::string::npos || close + 2 > text.size())
        return 0;
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    unsigned long long ticks = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i)
        if (i == 14 || i == 15)
            ticks += std::strtoull(field.c_str(), nullptr, 10);
    return double(ticks) / double(sysconf(_SC_CLK_TCK));
}
