#include "BenchClock.h"

#include <QEventLoop>
#include <QTimer>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <sys/resource.h>
#include <unistd.h>

namespace bench {

double ProcessCpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

double ThreadCpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

std::map<int, std::pair<std::string, double>> ThreadTimes(int pid) {
    std::map<int, std::pair<std::string, double>> times;
    const double tick = double(sysconf(_SC_CLK_TCK));
    const std::string tasks = "/proc/" + (pid ? std::to_string(pid) : "self") + "/task";
    std::error_code error;
    for (const auto& task : std::filesystem::directory_iterator(tasks, error)) {
        std::ifstream stat(task.path() / "stat");
        std::string line;
        std::getline(stat, line);
        auto close = line.rfind(')');
        if (close == std::string::npos)
            continue;
        std::string name = line.substr(line.find('(') + 1, close - line.find('(') - 1);
        std::istringstream fields(line.substr(close + 2));
        std::string field;
        double cpu = 0;
        // utime and stime are the 14th and 15th fields of the line.
        for (int i = 3; fields >> field && i <= 15; ++i)
            if (i == 14 || i == 15)
                cpu += std::atof(field.c_str()) / tick;
        times[std::atoi(task.path().filename().c_str())] = {name, cpu};
    }
    return times;
}

bool Pump(const std::function<bool()>& cond, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    if (cond())
        return true;
    QEventLoop loop;
    QTimer poll;
    bool held = false;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        held = cond();
        if (held || std::chrono::steady_clock::now() > deadline)
            loop.quit();
    });
    poll.start(5);
    loop.exec();
    return held;
}

} // namespace bench
