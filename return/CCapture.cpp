#include "CCapture.h"

#include "platform/Utf16.h"

#include <algorithm>
#include <vector>

namespace {

constexpr char16_t kNoDevices[] = u"No audio capture device is available.";
constexpr char16_t kNotFound[] = u"No audio capture device has the chosen name.";
constexpr char16_t kFormatRefused[] = u"The capture device does not accept this wave format.";
constexpr char16_t kBufferRefused[] = u"The capture buffer size is not valid for this format.";
constexpr char16_t kCannotOpen[] = u"The audio capture device could not be opened.";

bool Acceptable(const WAVEFORMATEX& f) {
    return f.wFormatTag == WAVE_FORMAT_PCM && f.wBitsPerSample == 16 && f.nChannels >= 1 &&
           f.nChannels <= 8 && f.nSamplesPerSec >= 8000 && f.nSamplesPerSec <= 192000 &&
           f.nBlockAlign == f.nChannels * 2 && f.nAvgBytesPerSec == f.nSamplesPerSec * f.nBlockAlign;
}

} // namespace

CCapture::CCapture(CChunkRing& r, CErrorHandler* h) : ring(r), handler(h) {}

CCapture::~CCapture() { Stop(); }

bool CCapture::Open(const std::u16string& name, const WAVEFORMATEX& wanted, int32_t bytes) {
    const std::vector<std::string> names = platform::CAudioSystem::Devices(true);
    if (names.empty())
        return Fail(kNoDevices), false;
    auto found = std::find_if(names.begin(), names.end(), [&](const std::string& n) {
        return platform::Utf8ToUtf16(n) == name;
    });
    if (found == names.end())
        return Fail(kNotFound), false;
    device = name;
    deviceName = *found;
    format = DefaultWaveFormat();
    if (!Acceptable(wanted))
        return Fail(kFormatRefused), false;
    format = wanted;
    format.cbSize = 0;
    if (bytes != -1 && bytes < format.nBlockAlign)
        return Fail(kBufferRefused), false;
    const uint32_t frame = format.nBlockAlign;
    const uint32_t asked = bytes == -1 ? format.nAvgBytesPerSec / 10 : uint32_t(bytes);
    bufferBytes = std::max(frame, asked / frame * frame);
    stream = OpenDevice();
    if (!stream)
        return Fail(kCannotOpen), false;
    connected = true;
    return true;
}

std::unique_ptr<platform::CAudioStream> CCapture::OpenDevice() {
    const uint32_t frames = std::min(bufferBytes / format.nBlockAlign, kDevicePeriodFrames);
    return platform::CAudioSystem::OpenCapture(
        deviceName, platform::PcmFormat{format.nSamplesPerSec, format.nChannels}, frames, this);
}

bool CCapture::Run() {
    if (!stream)
        return false;
    lastAttempt = Clock::now();
    // The first buffer of an idle source may take a moment longer.
    lastData = lastAttempt + std::chrono::seconds(1);
    pushesSeen = pushes;
    running = true;
    stream->Start();
    return true;
}

void CCapture::Stop() {
    // Closing waits for a running callback; none comes after it.
    stream.reset();
    connected = false;
    running = false;
}

void CCapture::Push(const uint8_t* data, uint32_t bytes) {
    ring.Write(data, bytes);
    pushes.fetch_add(1, std::memory_order_relaxed);
}

void CCapture::Lost() {
    lost = true;
    ring.Wake();
}

void CCapture::Watch(Clock::time_point now) {
    if (!running)
        return;
    if (lost.exchange(false) && !gone) {
        // The stream is dead; closed here, off the sound system's thread.
        gone = true;
        starved = false;
        stream.reset();
        connected = false;
        lastAttempt = now;
        Tell(u"The studio audio source has gone: no studio audio is sent back until it returns.",
             CErrorLine::Level::kWarning);
    }
    if (gone) {
        if (now - lastAttempt < kReopenInterval)
            return;
        lastAttempt = now;
        stream = OpenDevice();
        if (!stream)
            return;
        gone = false;
        connected = true;
        lastData = now;
        stream->Start();
        Tell(u"The studio audio source is back: studio audio is sent again.",
             CErrorLine::Level::kNotice);
        return;
    }
    const uint64_t seen = pushes.load(std::memory_order_relaxed);
    if (seen != pushesSeen) {
        pushesSeen = seen;
        lastData = now;
        if (starved) {
            starved = false;
            Tell(u"The studio audio source delivers again.", CErrorLine::Level::kNotice);
        }
    } else if (!starved && now - lastData >= kStarvationTime) {
        starved = true;
        Tell(u"The studio audio source has delivered nothing for 2 s.", CErrorLine::Level::kWarning);
    }
}

CCapture::Status CCapture::GetStatus() const {
    Status s;
    s.device = device;
    s.format = format;
    s.bufferBytes = bufferBytes;
    s.connected = connected;
    s.running = running;
    s.failure = failure;
    s.buffersDelivered = ring.ChunksTaken();
    s.bytesDropped = ring.BytesDropped();
    return s;
}

void CCapture::Fail(const char16_t* text) {
    failure = text;
    Tell(text, CErrorLine::Level::kError);
}

void CCapture::Tell(const char16_t* text, CErrorLine::Level level) {
    if (handler)
        handler->ReportText(text, level);
}
