#include "CStatusLine.h"

#include "CLog.h"
#include "CReturnTone.h"

#include <chrono>
#include <cmath>
#include <cstdio>

CStatusLine::~CStatusLine() {
    Stop();
}

void CStatusLine::Start(bool quiet) {
    Stop();
    stopping = false;
    if (!quiet)
        thread = std::thread([this] { Run(); });
}

void CStatusLine::Stop() {
    {
        std::lock_guard guard(lock);
        stopping = true;
    }
    wake.notify_all();
    if (thread.joinable())
        thread.join();
}

void CStatusLine::Run() {
    auto last = std::chrono::steady_clock::now();
    std::unique_lock guard(lock);
    for (;;) {
        if (wake.wait_for(guard, std::chrono::seconds(1), [this] { return stopping; }))
            return;
        auto now = std::chrono::steady_clock::now();
        double seconds = std::chrono::duration<double>(now - last).count();
        last = now;
        CLog::Status(Line(seconds));
    }
}

void CStatusLine::CountVideo(size_t bytes) {
    ++videoPackets;
    videoBytes += bytes;
}

void CStatusLine::CountAudio(size_t) {
    ++audioPackets;
}

void CStatusLine::CountReturn(const int16_t* samples, size_t count) {
    ++returnPackets;
    double sum = 0;
    for (size_t i = 0; i < count; ++i)
        sum += double(samples[i]) * samples[i];
    std::lock_guard guard(levelLock);
    sumSquares += sum;
    sampleCount += count;
}

double CStatusLine::LevelDbfs(double sum, uint64_t count) {
    if (count == 0 || sum <= 0)
        return -INFINITY;
    return 20 * std::log10(std::sqrt(sum / double(count)) / 32768.0);
}

std::string CStatusLine::Line(double seconds) {
    if (seconds <= 0)
        seconds = 1;
    uint64_t v = videoPackets, vb = videoBytes, a = audioPackets, r = returnPackets;
    double sum;
    uint64_t count;
    {
        std::lock_guard guard(levelLock);
        sum = sumSquares;
        count = sampleCount;
        sumSquares = 0;
        sampleCount = 0;
    }
    char level[32] = "-";
    if (count)
        std::snprintf(level, sizeof level, "%.1f dBFS", LevelDbfs(sum, count));
    char text[200];
    std::snprintf(text, sizeof text,
                  "video %.1f fps %.0f kbit/s | audio %.1f pkt/s | return %llu pkt, level %s",
                  double(v - lastVideo) / seconds, double(vb - lastVideoBytes) * 8 / 1000 / seconds,
                  double(a - lastAudio) / seconds, static_cast<unsigned long long>(r - lastReturn),
                  level);
    lastVideo = v;
    lastVideoBytes = vb;
    lastAudio = a;
    lastReturn = r;
    std::string line = text;
    if (returnTone)
        line += ", " + returnTone->StatusText();
    if (waiting)
        line += " | waiting for the studio";
    if (silent)
        line += " | silent";
    return line;
}

std::string CStatusLine::Totals() const {
    return "sent " + std::to_string(videoPackets.load()) + " video and " +
           std::to_string(audioPackets.load()) + " audio packets (" +
           std::to_string(videoBytes.load() / 1024) + " KiB of video); received " +
           std::to_string(returnPackets.load()) + " return audio packets";
}
