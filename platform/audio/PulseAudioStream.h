// Playback and capture streams straight on a PulseAudio server (also what
// PipeWire serves), each on a connection and thread of its own, so that one
// stream's stall never holds the other.
#pragma once

#include "AudioStream.h"

namespace platform::pulse {

// True when a server answers; asked once per process.
bool Available();
std::vector<std::string> Devices(bool capture);
std::unique_ptr<CAudioStream> OpenPlayback(const std::string& device, const PcmFormat& format,
                                           uint32_t periodFrames, uint32_t bufferFrames,
                                           CPlaybackSource* source);
std::unique_ptr<CAudioStream> OpenCapture(const std::string& device, const PcmFormat& format,
                                          uint32_t periodFrames, CCaptureSink* sink);

} // namespace platform::pulse
