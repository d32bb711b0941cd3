// The studio's audio source: the capture device found by its exact name, in
// the session's wave format, with buffers of about one chunk, recording
// straight into the return path's chunk ring. A device that goes away is
// taken back by its name when it returns; one that delivers nothing is told.
#pragma once

#include "CChunkRing.h"
#include "core/CErrorHandler.h"
#include "platform/audio/AudioStream.h"
#include "platform/WaveFormat.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

class CCapture : private platform::CCaptureSink {
public:
    using Clock = std::chrono::steady_clock;

    // How long a source may deliver nothing before it is told, and how often
    // one that went away is looked for.
    static constexpr std::chrono::milliseconds kStarvationTime{2000};
    static constexpr std::chrono::milliseconds kReopenInterval{500};
    // Frames the device hands over at a time: short, so that neither a read
    // nor a close waits for a whole chunk.
    static constexpr uint32_t kDevicePeriodFrames = 1024;

    // What the source's property dialog shows; a copy, so it may be read
    // after the source has gone.
    struct Status {
        std::u16string device; // empty while no device of the name was found
        WAVEFORMATEX format{};
        uint32_t bufferBytes = 0;
        bool connected = false; // the device is open
        bool running = false;
        std::u16string failure; // why it does not capture; empty when it does
        uint64_t buffersDelivered = 0;
        uint64_t bytesDropped = 0;
    };

    // Reports go to handler's line; null for nowhere.
    CCapture(CChunkRing& ring, CErrorHandler* handler);
    ~CCapture() override;
    CCapture(const CCapture&) = delete;
    CCapture& operator=(const CCapture&) = delete;

    // Finds the first device whose name equals name, sets the format and the
    // buffer size (-1: a tenth of a second) and opens it, paused. On failure
    // the failure's text goes to the error line and false is returned.
    bool Open(const std::u16string& name, const WAVEFORMATEX& format, int32_t bufferBytes);
    // Run, Stop and Watch belong to one thread at a time.
    bool Run();
    // Once it returns the ring is written no more.
    void Stop();
    // Often, on the thread that runs it: takes a lost device back, tells a
    // silent one.
    void Watch(Clock::time_point now);

    Status GetStatus() const; // any thread

private:
    void Push(const uint8_t* data, uint32_t bytes) override;
    void Lost() override;
    std::unique_ptr<platform::CAudioStream> OpenDevice();
    void Fail(const char16_t* text);
    void Tell(const char16_t* text, CErrorLine::Level level);

    CChunkRing& ring;
    CErrorHandler* const handler;
    // Set by Open, fixed from then on.
    std::u16string device;
    std::string deviceName; // the sound system's own, UTF-8
    WAVEFORMATEX format{};
    uint32_t bufferBytes = 0;
    std::u16string failure;

    std::unique_ptr<platform::CAudioStream> stream;
    std::atomic<bool> connected{false}, running{false};
    // Written on the device's thread.
    std::atomic<uint64_t> pushes{0};
    std::atomic<bool> lost{false};
    // The watch's own.
    bool gone = false, starved = false;
    uint64_t pushesSeen = 0;
    Clock::time_point lastData, lastAttempt;
};
