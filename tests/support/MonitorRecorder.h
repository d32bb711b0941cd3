// Records what a PulseAudio sink plays, from its monitor source, through the
// sound server's own recorder (parec) in a child process.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testing_support {

// The first output stream of a process on the test sound server stalls for
// about two seconds after its first buffer; later ones start at once. Plays a
// little silence on device until it has gone through, so that a test's own
// stream starts at once. True when it did within timeout.
bool WarmUpAudioOutput(const std::string& device,
                       std::chrono::milliseconds timeout = std::chrono::seconds(10));

class MonitorRecorder {
public:
    MonitorRecorder() = default;
    ~MonitorRecorder();
    MonitorRecorder(const MonitorRecorder&) = delete;
    MonitorRecorder& operator=(const MonitorRecorder&) = delete;

    // Starts recording source (e.g. "studio_out.monitor") as interleaved
    // signed 16-bit samples; true once the first samples have come.
    bool Start(const std::string& source, int sampleRate, int channels,
               std::chrono::milliseconds timeout = std::chrono::seconds(10));
    void Stop();

    // Frames recorded so far.
    size_t Frames();
    // Waits until at least frames have been recorded.
    bool WaitForFrames(size_t frames, std::chrono::milliseconds timeout = std::chrono::seconds(10));
    std::vector<int16_t> Samples();
    int SampleRate() const { return rate; }
    int Channels() const { return channels; }

private:
    void Read();

    pid_t child = -1;
    int pipe = -1;
    int rate = 0;
    int channels = 0;
    std::thread reader;
    std::mutex mutex;
    std::vector<int16_t> samples;
};

} // namespace testing_support
