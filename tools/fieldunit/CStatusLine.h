// Counts what goes out and comes back, and once a second prints the rates:
// video frames and kbit/s, audio packets, return packets and their level.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

class CReturnTone;

class CStatusLine {
public:
    CStatusLine() = default;
    virtual ~CStatusLine();
    CStatusLine(const CStatusLine&) = delete;
    CStatusLine& operator=(const CStatusLine&) = delete;

    // Starts printing once a second (nothing is printed when quiet).
    void Start(bool quiet);
    void Stop();

    void CountVideo(size_t bytes);
    void CountAudio(size_t bytes);
    void CountReturn(const int16_t* samples, size_t count);
    void SetWaiting(bool waiting) { this->waiting = waiting; }
    void SetSilent(bool silent) { this->silent = silent; }
    // Adds the return tone's figures to the line; not owned, set before Start.
    void SetReturnTone(CReturnTone* tone) { returnTone = tone; }

    // The line for the last interval; also used for the summary at the end.
    std::string Line(double seconds);
    std::string Totals() const;

    // RMS level of samples in dBFS; -inf for silence.
    static double LevelDbfs(double sumSquares, uint64_t count);

private:
    void Run();

    std::atomic<uint64_t> videoPackets{0};
    std::atomic<uint64_t> videoBytes{0};
    std::atomic<uint64_t> audioPackets{0};
    std::atomic<uint64_t> returnPackets{0};
    std::atomic<bool> waiting{false};
    std::atomic<bool> silent{false};
    CReturnTone* returnTone = nullptr;
    std::mutex levelLock;
    double sumSquares = 0;
    uint64_t sampleCount = 0;

    uint64_t lastVideo = 0, lastVideoBytes = 0, lastAudio = 0, lastReturn = 0;

    std::mutex lock;
    std::condition_variable wake;
    bool stopping = false;
    std::thread thread;
};
