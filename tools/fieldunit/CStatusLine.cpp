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
    if (!quiet)
        CThread::Start(0);
}

uint32_t CStatusLine::Execute() {
    auto last = std::chrono::steady_clock::now();
    while (!StopRequested(1000)) {
        auto now = std::chrono::steady_clock::now();
        double seconds = std::chrono::duration<double>(now - last).count();
        last = now;
        CLog::Status(Line(seconds));
    }
    return 0;
}

void CStatusLine::CountVideo(size_t bytes) {
    sent.Add(&Sent::videoPackets);
    sent.Add(&Sent::videoBytes, bytes);
}

void CStatusLine::CountAudio(size_t) {
    sent.Add(&Sent::audioPackets);
}

void CStatusLine::CountReturn(const int16_t* samples, size_t count) {
    sent.Add(&Sent::returnPackets);
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
    const Sent now = sent.Snapshot();
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
                  double(now.videoPackets - last.videoPackets) / seconds,
                  double(now.videoBytes - last.videoBytes) * 8 / 1000 / seconds,
                  double(now.audioPackets - last.audioPackets) / seconds,
                  static_cast<unsigned long long>(now.returnPackets - last.returnPackets), level);
    last = now;
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
    const Sent s = sent.Snapshot();
    return "sent " + std::to_string(s.videoPackets) + " video and " +
           std::to_string(s.audioPackets) + " audio packets (" +
           std::to_string(s.videoBytes / 1024) + " KiB of video); received " +
           std::to_string(s.returnPackets) + " return audio packets";
}
