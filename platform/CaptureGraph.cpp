#include "CaptureGraph.h"
#include "Utf16.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <thread>

#if defined(__linux__)
#include <pthread.h>
#endif

namespace platform {

static std::u16string FromUtf8(const char* text) {
    return Utf8ToUtf16(text ? text : "");
}

// Device names in the sound system's order. Empty when it is not up.
static std::vector<std::string> CaptureDeviceNames() {
    return CAudioSystem::Devices(true);
}

HRESULT CDeviceEnumerator::FriendlyNames(DeviceCategory category,
                                         std::vector<std::u16string>& names) {
    names.clear();
    // Video capture is not offered on this platform: an empty category.
    if (category != DeviceCategory::AudioInput)
        return S_FALSE;
    for (const std::string& name : CaptureDeviceNames())
        names.push_back(FromUtf8(name.c_str()));
    return names.empty() ? S_FALSE : S_OK;
}

std::u16string CFilter::GraphName() const {
    std::lock_guard guard(nameLock);
    return graphName;
}

// ---------------------------------------------------------------------------

CCaptureFilter::CCaptureFilter(std::u16string friendly, std::string device, int32_t i)
    : CFilter(FilterKind::AudioCapture), friendlyName(std::move(friendly)),
      deviceName(std::move(device)), index(i), format(DefaultWaveFormat()) {}

HRESULT CCaptureFilter::GetFormat(WAVEFORMATEX& out) const {
    std::lock_guard guard(lock);
    out = format;
    return S_OK;
}

HRESULT CCaptureFilter::SetFormat(const WAVEFORMATEX& f) {
    if (f.wFormatTag != WAVE_FORMAT_PCM || f.wBitsPerSample != 16 || f.nChannels < 1 ||
        f.nChannels > 8 || f.nSamplesPerSec < 8000 || f.nSamplesPerSec > 192000 ||
        f.nBlockAlign != f.nChannels * 2 || f.nAvgBytesPerSec != f.nSamplesPerSec * f.nBlockAlign)
        return VFW_E_INVALIDMEDIATYPE;
    std::lock_guard guard(lock);
    if (connected)
        return VFW_E_WRONG_STATE;
    format = f;
    format.cbSize = 0;
    return S_OK;
}

HRESULT CCaptureFilter::SuggestBufferSize(int32_t bytes) {
    std::lock_guard guard(lock);
    if (connected)
        return VFW_E_WRONG_STATE;
    if (bytes != -1 && bytes < format.nBlockAlign)
        return E_INVALIDARG;
    suggestedBytes = bytes;
    return S_OK;
}

uint32_t CCaptureFilter::BufferSize() const {
    std::lock_guard guard(lock);
    uint32_t frame = format.nBlockAlign;
    uint32_t bytes =
        suggestedBytes == -1 ? format.nAvgBytesPerSec / 10 : static_cast<uint32_t>(suggestedBytes);
    return std::max(frame, bytes / frame * frame);
}

CCaptureFilter::Properties CCaptureFilter::GetProperties() const {
    Properties p;
    p.friendlyName = friendlyName;
    p.graphName = GraphName();
    p.deviceIndex = index;
    p.bufferBytes = BufferSize();
    std::lock_guard guard(lock);
    p.format = format;
    p.connected = connected;
    p.running = running;
    p.buffersDelivered = buffersDelivered;
    p.bytesDropped = bytesDropped;
    return p;
}

// ---------------------------------------------------------------------------

HRESULT CSampleGrabber::SetMediaType(const MediaType& t) {
    std::lock_guard guard(callbackLock);
    type = t;
    return S_OK;
}

HRESULT CSampleGrabber::SetOneShot(bool oneShot) {
    // Every buffer is delivered; a grabber that stops after one is not offered.
    return oneShot ? E_NOTIMPL : S_OK;
}

HRESULT CSampleGrabber::SetBufferSamples(bool) {
    return S_OK;
}

HRESULT CSampleGrabber::SetCallback(ISampleGrabberCB* cb, int32_t which) {
    if (cb && which != 1)
        return E_NOTIMPL;
    std::lock_guard guard(callbackLock);
    callback = cb;
    return S_OK;
}

// ---------------------------------------------------------------------------

// One open capture device and the thread that delivers its buffers. The
// thread also keeps watch: a device that goes away is reopened by its name
// as soon as it is back, and a device that delivers nothing is reported.
class CCaptureStream : private CCaptureSink {
public:
    CCaptureStream(std::shared_ptr<CCaptureFilter> capture, std::shared_ptr<CSampleGrabber> grabber,
                   IMediaEventSink* events)
        : capture(std::move(capture)), grabber(std::move(grabber)), events(events) {}
    virtual ~CCaptureStream() { Stop(); }

    HRESULT Open();
    HRESULT Run();
    HRESULT Stop();

private:
    void Push(const uint8_t* data, uint32_t bytes) override;
    void Lost() override;
    void Deliver();
    // Streaming thread, ring lock not held.
    void Watch(std::chrono::steady_clock::time_point now);
    void Notify(int32_t code, intptr_t param);
    void SetRunning(bool running);

    std::shared_ptr<CCaptureFilter> capture;
    std::shared_ptr<CSampleGrabber> grabber;
    IMediaEventSink* const events;
    WAVEFORMATEX format{};
    uint32_t bufferBytes = 0;
    uint32_t periodFrames = 0;
    std::unique_ptr<CAudioStream> device;

    // The ring between the device's callback and the streaming thread.
    std::mutex ringLock;
    std::condition_variable ready;
    std::vector<uint8_t> ring;
    size_t head = 0; // oldest byte
    size_t held = 0;
    bool stopping = false;
    bool lost = false;
    uint64_t pushes = 0;

    std::thread thread;
    std::vector<uint8_t> delivery;
    uint64_t deliveredBytes = 0;
    // The streaming thread's watch.
    bool gone = false;
    bool starved = false;
    uint64_t pushesSeen = 0;
    std::chrono::steady_clock::time_point lastData, lastAttempt;
};

HRESULT CCaptureStream::Open() {
    if (device)
        return S_OK;
    capture->GetFormat(format);
    bufferBytes = capture->BufferSize();
    uint32_t frames = bufferBytes / format.nBlockAlign;
    // Short device buffers, assembled into deliveries in the ring: a
    // delivery's worth (five AAC frames, over 100 ms) as the device's period
    // would make every read, and every close, wait that long.
    periodFrames = std::min<uint32_t>(frames, kDevicePeriodFrames);
    device = CAudioSystem::OpenCapture(capture->deviceName,
                                       PcmFormat{format.nSamplesPerSec, format.nChannels},
                                       periodFrames, this);
    if (!device)
        return VFW_E_CANNOT_CONNECT;

    // Room for two seconds, or eight deliveries, whichever is more: a slow
    // consumer loses the newest audio rather than holding the device.
    size_t capacity = std::max<size_t>(size_t(bufferBytes) * 8, size_t(format.nAvgBytesPerSec) * 2);
    capacity = std::max<size_t>(capacity, size_t(periodFrames) * format.nBlockAlign * 4);
    {
        std::lock_guard guard(ringLock);
        ring.assign(capacity, 0);
        head = held = 0;
    }
    delivery.assign(bufferBytes, 0);
    return S_OK;
}

HRESULT CCaptureStream::Run() {
    if (thread.joinable())
        return S_OK;
    HRESULT hr = Open();
    if (FAILED(hr))
        return hr;
    {
        std::lock_guard guard(ringLock);
        stopping = false;
        lost = false;
        head = held = 0;
    }
    deliveredBytes = 0;
    gone = starved = false;
    // A sound server may take a moment to start a new recording: the watch
    // for a silent device starts a second late.
    lastAttempt = std::chrono::steady_clock::now();
    lastData = lastAttempt + std::chrono::seconds(1);
    thread = std::thread(&CCaptureStream::Deliver, this);
    SetRunning(true);
    device->Start();
    return S_OK;
}

HRESULT CCaptureStream::Stop() {
    if (thread.joinable() && thread.get_id() == std::this_thread::get_id())
        return VFW_E_WRONG_STATE;
    {
        std::lock_guard guard(ringLock);
        stopping = true;
    }
    ready.notify_all();
    if (thread.joinable())
        thread.join();
    // Closing waits for a running device callback; none comes after it.
    device.reset();
    SetRunning(false);
    return S_OK;
}

void CCaptureStream::SetRunning(bool running) {
    std::lock_guard guard(capture->lock);
    capture->running = running;
}

void CCaptureStream::Push(const uint8_t* data, uint32_t bytes) {
    size_t n = bytes;
    {
        std::lock_guard guard(ringLock);
        size_t capacity = ring.size();
        if (stopping || capacity == 0)
            return;
        ++pushes;
        if (n > capacity - held) {
            // Whole device buffers only, so that the stream stays frame aligned.
            capture->bytesDropped += n;
            return;
        }
        size_t tail = (head + held) % capacity;
        size_t first = std::min(n, capacity - tail);
        std::memcpy(ring.data() + tail, data, first);
        std::memcpy(ring.data(), data + first, n - first);
        held += n;
    }
    ready.notify_one();
}

void CCaptureStream::Lost() {
    {
        std::lock_guard guard(ringLock);
        lost = true;
    }
    ready.notify_one();
}

void CCaptureStream::Notify(int32_t code, intptr_t param) {
    if (events)
        events->Notify(code, param);
}

void CCaptureStream::Watch(std::chrono::steady_clock::time_point now) {
    using namespace std::chrono_literals;
    bool wasLost;
    uint64_t seen;
    {
        std::lock_guard guard(ringLock);
        wasLost = lost;
        lost = false;
        seen = pushes;
    }
    if (wasLost && !gone) {
        // The stream is dead; closing it here, off the sound system's thread.
        gone = true;
        starved = false;
        device.reset();
        lastAttempt = now;
        Notify(EC_DEVICE_LOST, 0);
    }
    if (gone) {
        if (now - lastAttempt < kReopenInterval)
            return;
        lastAttempt = now;
        device = CAudioSystem::OpenCapture(capture->deviceName,
                                           PcmFormat{format.nSamplesPerSec, format.nChannels},
                                           periodFrames, this);
        if (!device)
            return;
        gone = false;
        lastData = now;
        device->Start();
        Notify(EC_DEVICE_LOST, 1);
        return;
    }
    if (seen != pushesSeen) {
        pushesSeen = seen;
        lastData = now;
        if (starved) {
            starved = false;
            Notify(EC_STARVATION, 0);
        }
    } else if (!starved && now - lastData >= kStarvationTime) {
        starved = true;
        Notify(EC_STARVATION, 1);
    }
}

void CCaptureStream::Deliver() {
#if defined(__linux__)
    pthread_setname_np(pthread_self(), kStreamingThreadName);
#endif
    using namespace std::chrono_literals;
    std::unique_lock lock(ringLock);
    for (;;) {
        ready.wait_for(lock, 250ms, [&] { return stopping || lost || held >= bufferBytes; });
        if (stopping)
            return;
        if (held < bufferBytes) {
            lock.unlock();
            Watch(std::chrono::steady_clock::now());
            lock.lock();
            continue;
        }
        size_t capacity = ring.size();
        size_t first = std::min<size_t>(bufferBytes, capacity - head);
        std::memcpy(delivery.data(), ring.data() + head, first);
        std::memcpy(delivery.data() + first, ring.data(), bufferBytes - first);
        head = (head + bufferBytes) % capacity;
        held -= bufferBytes;
        lock.unlock();

        double time = double(deliveredBytes) / double(format.nAvgBytesPerSec);
        {
            std::lock_guard guard(grabber->callbackLock);
            if (grabber->callback)
                grabber->callback->BufferCB(time, delivery.data(),
                                            static_cast<int32_t>(bufferBytes));
        }
        deliveredBytes += bufferBytes;
        ++capture->buffersDelivered;
        Watch(std::chrono::steady_clock::now());
        lock.lock();
    }
}

// ---------------------------------------------------------------------------

CFilterGraph::CFilterGraph() = default;

CFilterGraph::~CFilterGraph() {
    Stop();
    std::lock_guard guard(controlLock);
    stream.reset();
    for (auto& filter : filters) {
        if (filter->Kind() != FilterKind::AudioCapture)
            continue;
        auto* capture = static_cast<CCaptureFilter*>(filter.get());
        std::lock_guard captureGuard(capture->lock);
        capture->connected = false;
    }
}

HRESULT CFilterGraph::AddFilter(const std::shared_ptr<CFilter>& filter,
                                const std::u16string& name) {
    if (!filter)
        return E_POINTER;
    std::lock_guard guard(controlLock);
    for (auto& f : filters)
        if (f == filter || f->GraphName() == name)
            return VFW_E_DUPLICATE_NAME;
    std::lock_guard nameGuard(filter->nameLock);
    if (!filter->graphName.empty())
        return VFW_E_WRONG_STATE; // in another graph
    filter->graphName = name;
    filters.push_back(filter);
    return S_OK;
}

HRESULT CFilterGraph::FindCaptureDevice(const std::u16string& friendlyName,
                                        std::shared_ptr<CCaptureFilter>& filter) {
    filter.reset();
    std::vector<std::string> names = CaptureDeviceNames();
    if (names.empty())
        return VFW_E_NO_CAPTURE_HARDWARE;
    for (size_t i = 0; i < names.size(); ++i) {
        if (FromUtf8(names[i].c_str()) != friendlyName)
            continue;
        filter = std::make_shared<CCaptureFilter>(friendlyName, names[i], static_cast<int32_t>(i));
        return S_OK;
    }
    return VFW_E_NOT_FOUND;
}

HRESULT CFilterGraph::RenderStream(const std::shared_ptr<CFilter>& source,
                                   const std::shared_ptr<CFilter>& transform,
                                   const std::shared_ptr<CFilter>& renderer) {
    if (!source || !transform || !renderer)
        return E_POINTER;
    if (source->Kind() != FilterKind::AudioCapture ||
        transform->Kind() != FilterKind::SampleGrabber ||
        renderer->Kind() != FilterKind::NullRenderer)
        return VFW_E_CANNOT_CONNECT;
    auto capture = std::static_pointer_cast<CCaptureFilter>(source);
    auto grabber = std::static_pointer_cast<CSampleGrabber>(transform);
    std::lock_guard guard(controlLock);
    for (const CFilter* wanted :
         {static_cast<CFilter*>(capture.get()), static_cast<CFilter*>(grabber.get()),
          static_cast<CFilter*>(renderer.get())}) {
        bool found = std::any_of(filters.begin(), filters.end(),
                                 [&](const auto& f) { return f.get() == wanted; });
        if (!found)
            return VFW_E_NOT_IN_GRAPH;
    }
    if (stream)
        return VFW_E_WRONG_STATE;
    {
        std::lock_guard typeGuard(grabber->callbackLock);
        const MediaType& t = grabber->type;
        if ((t.major != MajorType::None && t.major != MajorType::Audio) ||
            (t.formatType != FormatType::None && t.formatType != FormatType::WaveFormatEx))
            return VFW_E_TYPE_NOT_ACCEPTED;
    }
    auto s = std::make_unique<CCaptureStream>(capture, grabber, events);
    HRESULT hr = s->Open();
    if (FAILED(hr))
        return hr;
    stream = std::move(s);
    std::lock_guard captureGuard(capture->lock);
    capture->connected = true;
    return S_OK;
}

HRESULT CFilterGraph::SetNotify(IMediaEventSink* sink) {
    std::lock_guard guard(controlLock);
    if (stream)
        return VFW_E_WRONG_STATE;
    events = sink;
    return S_OK;
}

HRESULT CFilterGraph::Run() {
    std::lock_guard guard(controlLock);
    if (!stream)
        return VFW_E_NOT_CONNECTED;
    return stream->Run();
}

HRESULT CFilterGraph::Stop() {
    std::lock_guard guard(controlLock);
    if (!stream)
        return S_OK;
    return stream->Stop();
}

// ---------------------------------------------------------------------------

static const char16_t* TextFor(HRESULT hr) {
    switch (hr) {
    case S_OK:
        return u"No error.";
    case S_FALSE:
        return u"The operation found nothing to do.";
    case E_NOTIMPL:
        return u"The operation is not offered by this filter.";
    case E_NOINTERFACE:
        return u"The filter does not offer this interface.";
    case E_POINTER:
        return u"A required pointer is missing.";
    case E_FAIL:
        return u"The operation failed.";
    case E_OUTOFMEMORY:
        return u"There is not enough memory for the capture graph.";
    case E_INVALIDARG:
        return u"The capture buffer size is not valid for this format.";
    case VFW_E_INVALIDMEDIATYPE:
        return u"The capture device does not accept this wave format.";
    case VFW_E_NOT_CONNECTED:
        return u"The capture graph is not connected.";
    case VFW_E_NOT_FOUND:
        return u"No audio capture device has the chosen name.";
    case VFW_E_CANNOT_CONNECT:
        return u"The audio capture device could not be opened.";
    case VFW_E_WRONG_STATE:
        return u"The capture graph cannot do this in its present state.";
    case VFW_E_TYPE_NOT_ACCEPTED:
        return u"The sample grabber does not accept this media type.";
    case VFW_E_DUPLICATE_NAME:
        return u"A filter of this name is already in the capture graph.";
    case VFW_E_NOT_IN_GRAPH:
        return u"The filter is not in the capture graph.";
    case VFW_E_NO_CAPTURE_HARDWARE:
        return u"No audio capture device is available.";
    default:
        return nullptr;
    }
}

uint32_t GetErrorText(HRESULT hr, char16_t* buffer, uint32_t capacity) {
    if (!buffer || capacity == 0)
        return 0;
    std::u16string text;
    if (const char16_t* known = TextFor(hr)) {
        text = known;
    } else {
        char code[16];
        std::snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(hr));
        text = u"Capture error " + FromUtf8(code) + u".";
    }
    if (text.size() + 1 > capacity)
        return 0;
    std::copy(text.begin(), text.end(), buffer);
    buffer[text.size()] = 0;
    return static_cast<uint32_t>(text.size());
}

} // namespace platform
