// Streams of the sound system, behind one small interface: a playback stream
// pulls PCM from its source on the sound system's thread; a capture stream
// pushes what the device recorded to its sink and says when the device went
// away. Over PulseAudio where a server answers, over SDL elsewhere.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace platform {

// Interleaved signed 16-bit PCM.
struct PcmFormat {
    uint32_t rate = 0;
    uint16_t channels = 0;
    uint32_t FrameBytes() const { return channels * 2u; }
};

class CPlaybackSource {
public:
    virtual ~CPlaybackSource() = default;
    // Fills bytes (whole frames) on the sound system's thread: no locks that a
    // writer holds for long, no allocation.
    virtual void Pull(uint8_t* out, uint32_t bytes) = 0;
};

class CCaptureSink {
public:
    virtual ~CCaptureSink() = default;
    // Whole frames as the device recorded them; a hole in the recording comes
    // as silence, so time is kept.
    virtual void Push(const uint8_t* data, uint32_t bytes) = 0;
    // The device went away; nothing more is pushed by this stream.
    virtual void Lost() = 0;
};

class CAudioStream {
public:
    // Closes the stream; no call into the source or sink runs once it returns.
    virtual ~CAudioStream() = default;
    virtual void Start() = 0;
    // Keeps the source or sink from being called while held.
    virtual void Lock() = 0;
    virtual void Unlock() = 0;
    // The device's own buffer, in frames.
    virtual uint32_t BufferFrames() const = 0;
};

// The devices and streams of the sound system this process uses.
class CAudioSystem {
public:
    // Device names as the desktop shows them, in the sound system's order; a
    // name that repeats gets " (2)", " (3)" ... so every entry is unique.
    static std::vector<std::string> Devices(bool capture);
    // device: a name from Devices; empty for the system's default output.
    // periodFrames: how much is asked for at a time; bufferFrames: how much
    // the device holds ahead of the speaker. Null when it cannot be opened.
    static std::unique_ptr<CAudioStream> OpenPlayback(const std::string& device,
                                                      const PcmFormat& format,
                                                      uint32_t periodFrames, uint32_t bufferFrames,
                                                      CPlaybackSource* source);
    static std::unique_ptr<CAudioStream> OpenCapture(const std::string& device,
                                                     const PcmFormat& format,
                                                     uint32_t periodFrames, CCaptureSink* sink);
};

} // namespace platform
