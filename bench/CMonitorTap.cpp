#include "CMonitorTap.h"

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>

namespace {

int64_t NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

} // namespace

CMonitorTap::~CMonitorTap() {
    Stop();
}

bool CMonitorTap::Start(const std::string& source, int sampleRate, int channelCount, const Sink& s,
                        std::chrono::milliseconds timeout) {
    Stop();
    rate = sampleRate;
    channels = channelCount;
    sink = s;
    frames = 0;
    {
        std::lock_guard guard(lock);
        pieces.clear();
        firstNs = 0;
    }
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return false;
    std::vector<std::string> args = {"parecord",
                                     "--raw",
                                     "--format=s16le",
                                     "--rate=" + std::to_string(sampleRate),
                                     "--channels=" + std::to_string(channels),
                                     "--latency-msec=50",
                                     "--device=" + source};
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    const pid_t parent = getpid();
    child = fork();
    if (child == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent)
            _exit(127);
        dup2(fds[1], STDOUT_FILENO);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    close(fds[1]);
    if (child < 0) {
        close(fds[0]);
        return false;
    }
    pipe = fds[0];
    reader = std::thread([this] { Read(); });
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (frames == 0 && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return frames > 0;
}

void CMonitorTap::Read() {
    std::vector<int16_t> buffer(8192);
    size_t held = 0; // bytes of a sample or frame cut by the pipe
    for (;;) {
        auto* bytes = reinterpret_cast<char*>(buffer.data());
        ssize_t got = read(pipe, bytes + held, buffer.size() * 2 - held);
        if (got <= 0)
            return;
        held += size_t(got);
        const size_t frameBytes = size_t(channels) * 2;
        const size_t whole = held / frameBytes * frameBytes;
        if (whole == 0)
            continue;
        const int64_t now = NowNs();
        sink(buffer.data(), whole / 2);
        frames += whole / frameBytes;
        {
            std::lock_guard guard(lock);
            if (pieces.empty())
                firstNs = now;
            pieces.push_back({frames, double(now - firstNs) / 1e9});
        }
        std::copy(bytes + whole, bytes + held, bytes);
        held -= whole;
    }
}

double CMonitorTap::Seconds() {
    std::lock_guard guard(lock);
    return pieces.empty() ? 0 : pieces.back().arrival;
}

double CMonitorTap::Offset(size_t index) {
    const double at = pieces[index].arrival;
    double earliest = pieces[index].arrival - double(pieces[index].end) / rate;
    for (size_t i = index; i-- > 0 && pieces[i].arrival > at - kSpan;)
        earliest = std::min(earliest, pieces[i].arrival - double(pieces[i].end) / rate);
    for (size_t i = index + 1; i < pieces.size() && pieces[i].arrival < at + kSpan; ++i)
        earliest = std::min(earliest, pieces[i].arrival - double(pieces[i].end) / rate);
    return earliest;
}

int64_t CMonitorTap::OriginNs() {
    std::lock_guard guard(lock);
    return firstNs;
}

double CMonitorTap::TimeOf(uint64_t frame) {
    std::lock_guard guard(lock);
    if (pieces.empty())
        return 0;
    auto piece = std::lower_bound(pieces.begin(), pieces.end(), frame,
                                  [](const Piece& p, uint64_t f) { return p.end < f; });
    if (piece == pieces.end())
        --piece;
    return Offset(size_t(piece - pieces.begin())) + double(frame) / rate;
}

double CMonitorTap::SinkClockPpm() {
    std::lock_guard guard(lock);
    if (pieces.size() < 2 || pieces.back().arrival < 10)
        return 0;
    // Away from the start, where the first pieces may carry what was
    // buffered before.
    size_t from = 0;
    while (pieces[from].arrival < 2)
        ++from;
    const size_t to = pieces.size() - 1;
    const double real = pieces[to].arrival - pieces[from].arrival;
    const double played = real - (Offset(to) - Offset(from));
    return (played / real - 1) * 1e6;
}

void CMonitorTap::Stop() {
    if (child > 0) {
        kill(child, SIGTERM);
        int status = 0;
        while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
        }
        child = -1;
    }
    if (reader.joinable())
        reader.join();
    if (pipe >= 0) {
        close(pipe);
        pipe = -1;
    }
}
