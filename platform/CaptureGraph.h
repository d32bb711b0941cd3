// Audio capture as a small graph of filters: a capture device found by its
// desktop name, a sample grabber that hands every buffer to a callback, and a
// null renderer. The device's own callback only copies into a bounded ring; a
// streaming thread of the graph delivers the buffers, and tells the graph's
// event sink when the device goes away, comes back, or delivers nothing.
#pragma once

#include "ComTypes.h"
#include "AudioStream.h"
#include "WaveFormat.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class QWidget;

namespace platform {

// The window that owns a modal dialog; null for none.
using OwnerWindow = QWidget*;

// The name of the thread that delivers captured buffers, where threads have
// names.
inline constexpr char kStreamingThreadName[] = "lumen-capture";
// Frames in one buffer of the capture device.
inline constexpr uint32_t kDevicePeriodFrames = 1024;

// Graph events, delivered on the streaming thread.
// EC_STARVATION: param 1, the device has delivered nothing for
// kStarvationTime; param 0, it delivers again.
// EC_DEVICE_LOST: param 0, the device went away; param 1, a device of its
// name is there again and capture goes on.
inline constexpr int32_t EC_STARVATION = 0x17;
inline constexpr int32_t EC_DEVICE_LOST = 0x1F;
inline constexpr std::chrono::milliseconds kStarvationTime{2000};
// How often a lost device is looked for again.
inline constexpr std::chrono::milliseconds kReopenInterval{500};

class IMediaEventSink {
public:
    virtual ~IMediaEventSink() = default;
    virtual void Notify(int32_t code, intptr_t param) = 0;
};

enum class DeviceCategory { AudioInput };

// Lists the devices of a category by their desktop names ("FriendlyName"), in
// the order the sound system gives them.
class CDeviceEnumerator {
public:
    CDeviceEnumerator() = default;
    virtual ~CDeviceEnumerator() = default;
    CDeviceEnumerator(const CDeviceEnumerator&) = delete;
    CDeviceEnumerator& operator=(const CDeviceEnumerator&) = delete;

    // S_OK with at least one name; S_FALSE when the category has no devices
    // (also when the sound system cannot be started); names is replaced.
    HRESULT FriendlyNames(DeviceCategory category, std::vector<std::u16string>& names);
};

enum class FilterKind { AudioCapture, SampleGrabber, NullRenderer };

// A filter in a graph. Shared: the graph holds its filters, and a property
// dialog may keep the capture filter after its graph has gone.
class CFilter {
public:
    explicit CFilter(FilterKind kind) : kind(kind) {}
    virtual ~CFilter() = default;
    CFilter(const CFilter&) = delete;
    CFilter& operator=(const CFilter&) = delete;

    FilterKind Kind() const { return kind; }
    // The name under which the filter was added to its graph.
    std::u16string GraphName() const;

private:
    friend class CFilterGraph;
    const FilterKind kind;
    mutable std::mutex nameLock;
    std::u16string graphName;
};

// The capture device: its stream format and its buffer size.
class CCaptureFilter : public CFilter {
public:
    CCaptureFilter(std::u16string friendlyName, std::string deviceName, int32_t index);

    const std::u16string& FriendlyName() const { return friendlyName; }
    // The device's place in the enumeration, from 0.
    int32_t DeviceIndex() const { return index; }

    HRESULT GetFormat(WAVEFORMATEX& format) const;
    // PCM, 16 bits, 1 to 8 channels, 8000 to 192000 samples per second, with
    // consistent block alignment and byte rate. Only while not connected.
    HRESULT SetFormat(const WAVEFORMATEX& format);
    // Bytes per delivered buffer; -1 leaves the choice to the device (about a
    // tenth of a second). Rounded down to whole sample frames.
    HRESULT SuggestBufferSize(int32_t bytes);
    uint32_t BufferSize() const;

    struct Properties {
        std::u16string friendlyName;
        std::u16string graphName;
        int32_t deviceIndex = 0;
        WAVEFORMATEX format{};
        uint32_t bufferBytes = 0;
        bool connected = false;
        bool running = false;
        uint64_t buffersDelivered = 0;
        uint64_t bytesDropped = 0;
    };
    // A consistent snapshot for the property dialog; any thread.
    Properties GetProperties() const;

private:
    friend class CFilterGraph;
    friend class CCaptureStream;
    const std::u16string friendlyName;
    const std::string deviceName; // the sound system's own name, UTF-8
    const int32_t index;
    mutable std::mutex lock;
    WAVEFORMATEX format{};
    int32_t suggestedBytes = -1;
    bool connected = false;
    bool running = false;
    std::atomic<uint64_t> buffersDelivered{0};
    std::atomic<uint64_t> bytesDropped{0};
};

// Major type, subtype and format type of the media a grabber accepts.
enum class MajorType { None, Audio, Video };
enum class SubType { None, Pcm };
enum class FormatType { None, WaveFormatEx };
struct MediaType {
    MajorType major = MajorType::None;
    SubType subtype = SubType::None;
    FormatType formatType = FormatType::None;
};

class CSampleGrabber : public CFilter {
public:
    CSampleGrabber() : CFilter(FilterKind::SampleGrabber) {}

    HRESULT SetMediaType(const MediaType& type);
    HRESULT SetOneShot(bool oneShot);
    HRESULT SetBufferSamples(bool buffer);
    // which: 0 = SampleCB, 1 = BufferCB. Only BufferCB is offered here. A
    // null callback stops deliveries to the previous one; once this returns,
    // no call into the previous callback is running.
    HRESULT SetCallback(ISampleGrabberCB* callback, int32_t which);

private:
    friend class CFilterGraph;
    friend class CCaptureStream;
    MediaType type;
    // Held while a buffer is delivered, so that SetCallback waits for it.
    std::mutex callbackLock;
    ISampleGrabberCB* callback = nullptr;
};

class CNullRenderer : public CFilter {
public:
    CNullRenderer() : CFilter(FilterKind::NullRenderer) {}
};

class CCaptureStream;

// The filter graph with its builder and media control.
class CFilterGraph {
public:
    CFilterGraph();
    // Stops a running graph first.
    virtual ~CFilterGraph();
    CFilterGraph(const CFilterGraph&) = delete;
    CFilterGraph& operator=(const CFilterGraph&) = delete;

    // A filter may belong to one graph; names are unique within a graph.
    HRESULT AddFilter(const std::shared_ptr<CFilter>& filter, const std::u16string& name);
    // Finds the first audio input device whose name equals friendlyName,
    // character for character. S_OK and the filter (not yet in the graph);
    // VFW_E_NO_CAPTURE_HARDWARE when there are no devices at all;
    // VFW_E_NOT_FOUND when none has that name.
    HRESULT FindCaptureDevice(const std::u16string& friendlyName,
                              std::shared_ptr<CCaptureFilter>& filter);
    // Connects capture device -> grabber -> renderer and opens the device,
    // paused, in the capture filter's format.
    // VFW_E_CANNOT_CONNECT when the filters are not of those kinds.
    HRESULT RenderStream(const std::shared_ptr<CFilter>& capture,
                         const std::shared_ptr<CFilter>& grabber,
                         const std::shared_ptr<CFilter>& renderer);
    // Where events go; only while not connected. Null for nowhere.
    HRESULT SetNotify(IMediaEventSink* sink);
    HRESULT Run();
    // Returns when no delivery is running and none can begin. Must not be
    // called from the callback (VFW_E_WRONG_STATE).
    HRESULT Stop();

private:
    std::mutex controlLock;
    IMediaEventSink* events = nullptr;
    std::vector<std::shared_ptr<CFilter>> filters;
    std::unique_ptr<CCaptureStream> stream;
};

// The text for a result, as the operator reads it. Writes at most
// capacity - 1 characters and a terminator; returns the number of characters
// written without the terminator, 0 when the text does not fit.
uint32_t GetErrorText(HRESULT hr, char16_t* buffer, uint32_t capacity);

} // namespace platform
