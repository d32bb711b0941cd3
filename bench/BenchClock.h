// What the benchmarks time with: CPU seconds of the process, of the calling
// thread and of every thread by name, and a wait that keeps the window
// toolkit's events flowing.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <utility>

namespace bench {

double ProcessCpuSeconds();
double ThreadCpuSeconds();
// Every thread of this process, or of process pid, by id: its name and CPU
// seconds so far.
std::map<int, std::pair<std::string, double>> ThreadTimes(int pid = 0);
// Runs the GUI thread's event loop until cond holds or timeout has passed;
// whether it held.
bool Pump(const std::function<bool()>& cond,
          std::chrono::milliseconds timeout = std::chrono::hours(24));

} // namespace bench
