#include "MonitorRecorder.h"

#include "TestClient.h"
#include "platform/audio/AudioOut.h"

#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

extern char** environ;

namespace testing_support {

bool WarmUpAudioOutput(const std::string& device, std::chrono::milliseconds timeout) {
    platform::CAudioOut out;
    WAVEFORMATEX format{WAVE_FORMAT_PCM, 2, 44100, 176400, 4, 16, 0};
    if (!out.Open(platform::CAudioOut::FindDevice(device), format))
        return false;
    std::vector<uint8_t> silence(4096 * 4);
    platform::WAVEHDR headers[2];
    for (auto& h : headers) {
        h.lpData = silence.data();
        h.dwBufferLength = static_cast<uint32_t>(silence.size());
        out.Prepare(&h);
        out.Write(&h);
    }
    bool done = WaitUntil([&] { return (headers[1].dwFlags & platform::WHDR_DONE) != 0; }, timeout);
    out.Close();
    return done;
}

MonitorRecorder::~MonitorRecorder() {
    Stop();
}

bool MonitorRecorder::Start(const std::string& source, int sampleRate, int channelCount,
                            std::chrono::milliseconds timeout) {
    Stop();
    rate = sampleRate;
    channels = channelCount;
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        return false;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    std::string device = "--device=" + source;
    std::string rateArg = "--rate=" + std::to_string(sampleRate);
    std::string channelArg = "--channels=" + std::to_string(channelCount);
    const char* argv[] = {"parec",          device.c_str(), rateArg.c_str(),     channelArg.c_str(),
                          "--format=s16le", "--raw",        "--latency-msec=20", nullptr};
    int result =
        posix_spawnp(&child, "parec", &actions, nullptr, const_cast<char**>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    if (result != 0) {
        child = -1;
        ::close(fds[0]);
        return false;
    }
    pipe = fds[0];
    {
        std::lock_guard guard(mutex);
        samples.clear();
    }
    reader = std::thread([this] { Read(); });
    return WaitForFrames(1, timeout);
}

void MonitorRecorder::Read() {
    uint8_t buffer[8192];
    size_t carry = 0; // a byte of a sample split between reads
    uint8_t odd = 0;
    for (;;) {
        ssize_t got = ::read(pipe, buffer + carry, sizeof buffer - carry);
        if (got <= 0)
            return;
        if (carry)
            buffer[0] = odd;
        size_t bytes = carry + static_cast<size_t>(got);
        size_t whole = bytes / 2 * 2;
        {
            std::lock_guard guard(mutex);
            size_t at = samples.size();
            samples.resize(at + whole / 2);
            std::memcpy(samples.data() + at, buffer, whole);
        }
        carry = bytes - whole;
        if (carry)
            odd = buffer[whole];
    }
}

void MonitorRecorder::Stop() {
    if (child > 0) {
        ::kill(child, SIGTERM);
        ::waitpid(child, nullptr, 0);
        child = -1;
    }
    if (reader.joinable())
        reader.join();
    if (pipe >= 0) {
        ::close(pipe);
        pipe = -1;
    }
}

size_t MonitorRecorder::Frames() {
    std::lock_guard guard(mutex);
    return channels ? samples.size() / channels : 0;
}

bool MonitorRecorder::WaitForFrames(size_t frames, std::chrono::milliseconds timeout) {
    return WaitUntil([&] { return Frames() >= frames; }, timeout);
}

std::vector<int16_t> MonitorRecorder::Samples() {
    std::lock_guard guard(mutex);
    return samples;
}

} // namespace testing_support
