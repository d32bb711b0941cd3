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
#include <mutex>
#include <string>
#include <thread>
#include <vector>

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
    // Real time from the first samples to the last.
    double Seconds();

    // When the sink played a frame (counted from the first recorded), in
    // seconds of the system's steady clock from the first samples. The
    // sink runs by a clock of its own, which need not keep time with the
    // system's: the frame count alone is no clock.
    double TimeOf(uint64_t frame);
    // The steady clock's reading, in nanoseconds since its epoch, that
    // TimeOf counts from.
    int64_t OriginNs();
    // How fast the sink's clock runs against the system's, in parts per
    // million; 0 until some seconds have been recorded.
    double SinkClockPpm();

private:
    void Read();
    // The earliest that samples came, against their frame count, among the
    // pieces within kSpan of piece index: deliveries are only ever late.
    double Offset(size_t index);
    // Long enough to outlast a recorder held up by a busy machine, short
    // enough that the sink's clock cannot stray in it (300 ppm: 0.6 ms).
    static constexpr double kSpan = 2;

    pid_t child = -1;
    int pipe = -1;
    int rate = 0;
    int channels = 0;
    Sink sink;
    std::thread reader;
    std::atomic<uint64_t> frames{0};

    struct Piece {
        uint64_t end;   // frames recorded with this piece
        double arrival; // seconds after the first piece came
    };
    std::mutex lock;
    std::vector<Piece> pieces;
    int64_t firstNs = 0;
};
