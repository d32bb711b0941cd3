// The return audio heard as a steady test tone: the return packets received
// against those due since the first one came, and the tone's gaps and
// discontinuities. Fed on the receiving thread, read on the status line's.
#pragma once

#include "tools/tonecheck/CToneCheck.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

class CReturnTone {
public:
    explicit CReturnTone(double frequency);
    virtual ~CReturnTone() = default;

    // One decoded return packet.
    void Count(const int16_t* samples, size_t count, int rate, int channels);
    // The stream has ended: packets are no longer due from here on.
    void Stop();

    struct Figures {
        uint64_t received = 0;
        uint64_t due = 0;
        int gaps = 0;
        int discontinuities = 0;
        double seconds = 0; // analysed
    };
    Figures Now();
    // For the status line, and the summary at the end.
    std::string StatusText();
    // The summary lists the first kListed events; EventTimes every one kept,
    // for a benchmark to match against the source's own (empty when there
    // are none).
    std::string Summary();
    std::string EventTimes();
    static constexpr size_t kListed = 10;

    // What the studio puts in one packet: five AAC frames of 1024 samples.
    static constexpr int kSamplesPerPacket = 5 * 1024;

private:
    using Clock = std::chrono::steady_clock;
    uint64_t DueLocked(Clock::time_point until) const;

    const double frequency;
    std::mutex lock;
    std::unique_ptr<CToneCheck> check;
    uint64_t received = 0;
    int rate = 0;
    Clock::time_point first;
    Clock::time_point stopped;
    bool hasStopped = false;
};
