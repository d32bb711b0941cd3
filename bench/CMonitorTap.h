// Records a PulseAudio source (a sink's monitor) through the sound server's
// own recorder, parecord, in a child process, and hands every piece of raw
// signed 16-bit audio to a callback as it comes, so that hours can be
// checked without keeping them.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>

class CMonitorTap {
public:
    // Interleaved samples; count is in samples. Called on the tap's thread.
    using Sink = std::function<void(const int16_t* samples, size_t count)>;

    CMonitorTap() = default;
    virtual ~CMonitorTap();
    CMonitorTap(const CMonitorTap&) = delete;
    CMonitorTap& operator=(const CMonitorTap&) = delete;

    // True once the first samples have come within timeout.
    bool Start(const std::string& source, int sampleRate, int channels, const Sink& sink,
               std::chrono::milliseconds timeout = std::chrono::seconds(10));
    void Stop();

    uint64_t Frames() const { return frames; }
    // Real time from the first samples to the last, to compare the frames
    // with: a recorder that fell behind delivers fewer.
    double Seconds() const;

private:
    void Read();

    pid_t child = -1;
    int pipe = -1;
    int channels = 0;
    Sink sink;
    std::thread reader;
    std::atomic<uint64_t> frames{0};
    std::atomic<int64_t> firstNs{0}, lastNs{0};
};
