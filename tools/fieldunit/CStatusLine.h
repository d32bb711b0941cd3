// Counts what goes out and comes back, and once a second prints the rates:
// video frames and kbit/s, audio packets, return packets and their level.
#pragma once

#include "core/CCounters.h"
#include "core/CThread.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

class CReturnTone;

class CStatusLine : public CThread {
public:
    CStatusLine() = default;
    ~CStatusLine() override;

    // Starts printing once a second (nothing is printed when quiet); Stop
    // ends it.
    void Start(bool quiet);

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

protected:
    uint32_t Execute() override;

private:
    struct Sent {
        uint64_t videoPackets = 0;
        uint64_t videoBytes = 0;
        uint64_t audioPackets = 0;
        uint64_t returnPackets = 0;
    };
    CCounters<Sent> sent;
    std::atomic<bool> waiting{false};
    std::atomic<bool> silent{false};
    CReturnTone* returnTone = nullptr;
    std::mutex levelLock;
    double sumSquares = 0;
    uint64_t sampleCount = 0;

    Sent last; // at the last Line
};
