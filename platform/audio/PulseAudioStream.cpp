#include "PulseAudioStream.h"
#include "platform/ThreadPriority.h"

#include <pulse/pulseaudio.h>

#include <algorithm>
#include <atomic>
#include <mutex>

namespace platform::pulse {

namespace {

constexpr char kAppName[] = "Lumenfeed";

// The client library is not built with the thread sanitizer, so the main
// loop's lock, which orders everything our callbacks share with the rest of
// the program, is invisible to it. These tell it where the lock is taken and
// let go, keyed on the context: the one thing every callback is handed
// without reading memory of ours.
#if defined(__SANITIZE_THREAD__)
extern "C" void __tsan_acquire(void* address);
extern "C" void __tsan_release(void* address);
void Enter(const void* key) { __tsan_acquire(const_cast<void*>(key)); }
void Leave(const void* key) { __tsan_release(const_cast<void*>(key)); }
#else
void Enter(const void*) {}
void Leave(const void*) {}
#endif

void LockLoop(pa_threaded_mainloop* loop, const pa_context* key) {
    pa_threaded_mainloop_lock(loop);
    Enter(key);
}

void UnlockLoop(pa_threaded_mainloop* loop, const pa_context* key) {
    Leave(key);
    pa_threaded_mainloop_unlock(loop);
}

void WaitLoop(pa_threaded_mainloop* loop, const pa_context* key) {
    Leave(key);
    pa_threaded_mainloop_wait(loop);
    Enter(key);
}

// The thread that feeds the device must not wait behind the rest of a busy
// machine.
void RaisePriorityOnce() {
    thread_local bool raised = false;
    if (!raised)
        platform::SetThreadPriority(platform::ThreadRole::kAudioDevice);
    raised = true;
}

// A callback of the main loop's thread, which holds the lock while it runs.
struct InLoop {
    explicit InLoop(const pa_context* key) : key(key) { Enter(key); }
    explicit InLoop(pa_stream* s) : key(pa_stream_get_context(s)) { Enter(key); }
    ~InLoop() { Leave(key); }
    const pa_context* key;
};

// A threaded main loop with its context, connected or not.
class CConnection {
public:
    CConnection() = default;
    ~CConnection() { Disconnect(); }
    CConnection(const CConnection&) = delete;
    CConnection& operator=(const CConnection&) = delete;

    bool Connect() {
        loop = pa_threaded_mainloop_new();
        if (!loop)
            return false;
        context = pa_context_new(pa_threaded_mainloop_get_api(loop), kAppName);
        if (!context)
            return false;
        pa_context_set_state_callback(context, &CConnection::Signal, loop);
        // Never start a server of our own: without one the SDL path serves.
        if (pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
            return false;
        if (pa_threaded_mainloop_start(loop) < 0)
            return false;
        started = true;
        LockLoop(loop, context);
        pa_context_state_t state;
        while ((state = pa_context_get_state(context)) != PA_CONTEXT_READY &&
               PA_CONTEXT_IS_GOOD(state))
            WaitLoop(loop, context);
        UnlockLoop(loop, context);
        return state == PA_CONTEXT_READY;
    }

    void Disconnect() {
        if (context) {
            const pa_context* key = context;
            if (started)
                LockLoop(loop, key);
            pa_context_set_state_callback(context, nullptr, nullptr);
            pa_context_disconnect(context);
            pa_context_unref(context);
            context = nullptr;
            if (started)
                UnlockLoop(loop, key);
        }
        if (loop) {
            if (started)
                pa_threaded_mainloop_stop(loop);
            pa_threaded_mainloop_free(loop);
            loop = nullptr;
        }
        started = false;
    }

    // Runs op to completion; the caller holds the loop's lock.
    void Wait(pa_operation* op) {
        if (!op)
            return;
        while (pa_operation_get_state(op) == PA_OPERATION_RUNNING)
            WaitLoop(loop, context);
        pa_operation_unref(op);
    }

    static void Signal(pa_context*, void* loop) {
        pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(loop), 0);
    }

    pa_threaded_mainloop* loop = nullptr;
    pa_context* context = nullptr;

private:
    bool started = false;
};

struct Device {
    std::string name;        // the server's own name
    std::string description; // as the desktop shows it, made unique
};

struct ListState {
    pa_threaded_mainloop* loop;
    std::vector<Device>* devices;
};

template <typename Info> void Collect(const Info* info, int eol, ListState* state, bool skip) {
    if (eol) {
        pa_threaded_mainloop_signal(state->loop, 0);
        return;
    }
    if (info && !skip)
        state->devices->push_back({info->name ? info->name : "",
                                   info->description ? info->description : ""});
}

// The caller holds the loop's lock.
std::vector<Device> List(CConnection& c, bool capture) {
    std::vector<Device> devices;
    ListState state{c.loop, &devices};
    if (capture) {
        // Monitors of outputs are not offered as sources.
        c.Wait(pa_context_get_source_info_list(
            c.context,
            [](pa_context* context, const pa_source_info* i, int eol, void* s) {
                InLoop inLoop(context);
                Collect(i, eol, static_cast<ListState*>(s),
                        i && i->monitor_of_sink != PA_INVALID_INDEX);
            },
            &state));
    } else {
        c.Wait(pa_context_get_sink_info_list(
            c.context,
            [](pa_context* context, const pa_sink_info* i, int eol, void* s) {
                InLoop inLoop(context);
                Collect(i, eol, static_cast<ListState*>(s), false);
            },
            &state));
    }
    std::vector<std::string> original;
    for (const Device& d : devices)
        original.push_back(d.description);
    for (size_t i = 0; i < devices.size(); ++i) {
        auto seen = std::count(original.begin(), original.begin() + i, original[i]);
        if (seen > 0)
            devices[i].description += " (" + std::to_string(seen + 1) + ")";
    }
    return devices;
}

class CStream final : public CAudioStream {
public:
    CStream(CPlaybackSource* source, CCaptureSink* sink) : source(source), sink(sink) {}

    ~CStream() override {
        if (stream) {
            LockLoop(connection.loop, connection.context);
            pa_stream_set_state_callback(stream, nullptr, nullptr);
            pa_stream_set_write_callback(stream, nullptr, nullptr);
            pa_stream_set_read_callback(stream, nullptr, nullptr);
            pa_stream_disconnect(stream);
            pa_stream_unref(stream);
            stream = nullptr;
            UnlockLoop(connection.loop, connection.context);
        }
        connection.Disconnect();
    }

    bool Open(const std::string& device, const PcmFormat& f, uint32_t periodFrames,
              uint32_t bufferFrames) {
        format = f;
        if (!connection.Connect())
            return false;
        LockLoop(connection.loop, connection.context);
        bool ok = Connect(device, periodFrames, bufferFrames);
        UnlockLoop(connection.loop, connection.context);
        return ok;
    }

    void Start() override {
        LockLoop(connection.loop, connection.context);
        if (stream)
            pa_operation_unref(pa_stream_cork(stream, 0, nullptr, nullptr));
        UnlockLoop(connection.loop, connection.context);
    }

    void Lock() override { LockLoop(connection.loop, connection.context); }
    void Unlock() override { UnlockLoop(connection.loop, connection.context); }
    uint32_t BufferFrames() const override { return deviceFrames; }

private:
    bool Connect(const std::string& device, uint32_t periodFrames, uint32_t bufferFrames) {
        const bool capture = sink != nullptr;
        std::string name;
        if (!device.empty()) {
            for (const Device& d : List(connection, capture))
                if (d.description == device)
                    name = d.name;
            if (name.empty())
                return false;
        }
        pa_sample_spec spec{PA_SAMPLE_S16LE, format.rate, static_cast<uint8_t>(format.channels)};
        if (!pa_sample_spec_valid(&spec))
            return false;
        pa_channel_map map;
        if (!pa_channel_map_init_extend(&map, format.channels, PA_CHANNEL_MAP_WAVEEX))
            return false;
        stream = pa_stream_new(connection.context, capture ? "Studio audio" : "Programme audio",
                               &spec, &map);
        if (!stream)
            return false;
        pa_stream_set_state_callback(stream, &CStream::StateChanged, this);

        const uint32_t frame = format.FrameBytes();
        pa_buffer_attr attr;
        attr.maxlength = static_cast<uint32_t>(-1);
        attr.tlength = capture ? static_cast<uint32_t>(-1) : bufferFrames * frame;
        // After the server ran dry (our thread held up on a busy machine), it
        // waits for no more than a period before it plays again, not for the
        // whole buffer.
        attr.prebuf = capture ? static_cast<uint32_t>(-1) : periodFrames * frame;
        attr.minreq = capture ? static_cast<uint32_t>(-1) : periodFrames * frame;
        attr.fragsize = capture ? periodFrames * frame : static_cast<uint32_t>(-1);
        // A named device that goes away ends the stream instead of moving it
        // elsewhere: the operator chose that device.
        auto flags = static_cast<pa_stream_flags_t>(
            PA_STREAM_ADJUST_LATENCY | PA_STREAM_START_CORKED |
            (name.empty() ? 0 : PA_STREAM_DONT_MOVE));
        const char* target = name.empty() ? nullptr : name.c_str();
        int rc;
        if (capture) {
            pa_stream_set_read_callback(stream, &CStream::Readable, this);
            rc = pa_stream_connect_record(stream, target, &attr, flags);
        } else {
            pa_stream_set_write_callback(stream, &CStream::Writable, this);
            rc = pa_stream_connect_playback(stream, target, &attr, flags, nullptr, nullptr);
        }
        if (rc < 0)
            return false;
        pa_stream_state_t state;
        while ((state = pa_stream_get_state(stream)) == PA_STREAM_CREATING)
            WaitLoop(connection.loop, connection.context);
        if (state != PA_STREAM_READY)
            return false;
        ready = true;
        if (const pa_buffer_attr* got = pa_stream_get_buffer_attr(stream))
            deviceFrames = (capture ? got->fragsize : got->tlength) / frame;
        return true;
    }

    static void StateChanged(pa_stream* s, void* self) {
        auto* me = static_cast<CStream*>(self);
        InLoop inLoop(s);
        pa_stream_state_t state = pa_stream_get_state(s);
        if (me->ready && !PA_STREAM_IS_GOOD(state) && me->sink && !me->lost.exchange(true))
            me->sink->Lost();
        pa_threaded_mainloop_signal(me->connection.loop, 0);
    }

    static void Writable(pa_stream* s, size_t bytes, void* self) {
        auto* me = static_cast<CStream*>(self);
        InLoop inLoop(s);
        RaisePriorityOnce();
        const size_t frame = me->format.FrameBytes();
        while (bytes >= frame) {
            void* data = nullptr;
            size_t n = bytes;
            if (pa_stream_begin_write(s, &data, &n) < 0 || !data)
                return;
            n -= n % frame;
            if (n == 0) {
                pa_stream_cancel_write(s);
                return;
            }
            me->source->Pull(static_cast<uint8_t*>(data), static_cast<uint32_t>(n));
            pa_stream_write(s, data, n, nullptr, 0, PA_SEEK_RELATIVE);
            bytes -= std::min(bytes, n);
        }
    }

    static void Readable(pa_stream* s, size_t, void* self) {
        auto* me = static_cast<CStream*>(self);
        InLoop inLoop(s);
        RaisePriorityOnce();
        static const uint8_t zeros[4096] = {};
        for (;;) {
            const void* data = nullptr;
            size_t n = 0;
            if (pa_stream_peek(s, &data, &n) < 0 || n == 0)
                return;
            if (data) {
                me->sink->Push(static_cast<const uint8_t*>(data), static_cast<uint32_t>(n));
            } else {
                // A hole: as much silence, in whole frames.
                size_t frame = me->format.FrameBytes();
                size_t step = sizeof zeros / frame * frame;
                for (size_t left = n - n % frame; left > 0;) {
                    size_t k = std::min(left, step);
                    me->sink->Push(zeros, static_cast<uint32_t>(k));
                    left -= k;
                }
            }
            pa_stream_drop(s);
        }
    }

    CConnection connection;
    pa_stream* stream = nullptr;
    CPlaybackSource* const source;
    CCaptureSink* const sink;
    PcmFormat format;
    uint32_t deviceFrames = 0;
    bool ready = false;
    std::atomic<bool> lost{false};
};

template <typename Stream>
std::unique_ptr<CAudioStream> Opened(std::unique_ptr<Stream> s, bool ok) {
    if (!ok)
        return nullptr;
    return s;
}

} // namespace

bool Available() {
    static std::once_flag once;
    static bool available = false;
    std::call_once(once, [] {
        CConnection probe;
        available = probe.Connect();
    });
    return available;
}

std::vector<std::string> Devices(bool capture) {
    std::vector<std::string> names;
    CConnection c;
    if (!c.Connect())
        return names;
    LockLoop(c.loop, c.context);
    for (const Device& d : List(c, capture))
        names.push_back(d.description);
    UnlockLoop(c.loop, c.context);
    return names;
}

std::unique_ptr<CAudioStream> OpenPlayback(const std::string& device, const PcmFormat& format,
                                           uint32_t periodFrames, uint32_t bufferFrames,
                                           CPlaybackSource* source) {
    auto s = std::make_unique<CStream>(source, nullptr);
    bool ok = s->Open(device, format, periodFrames, bufferFrames);
    return Opened(std::move(s), ok);
}

std::unique_ptr<CAudioStream> OpenCapture(const std::string& device, const PcmFormat& format,
                                          uint32_t periodFrames, CCaptureSink* sink) {
    auto s = std::make_unique<CStream>(nullptr, sink);
    bool ok = s->Open(device, format, periodFrames, 0);
    return Opened(std::move(s), ok);
}

} // namespace platform::pulse
