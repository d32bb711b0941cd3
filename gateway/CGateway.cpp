#include "CGateway.h"

#include "core/CErrorHandler.h"
#include "CLipSyncPolicy.h"
#include "codec/CAudioEncoder.h"
#include "platform/IpAddress.h"
#include "platform/SocketOptions.h"
#include "platform/SystemError.h"
#include "platform/ThreadPriority.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <new>
#include <string>

namespace {

// A day at most: the time-outs are handed on in milliseconds.
constexpr int32_t kLongestIdleTimeout = 86400;
// The most the system takes for the quiet before keep-alive probes.
constexpr int kLongestKeepAliveIdle = 32767;

std::string Size(int32_t width, int32_t height) {
    return std::to_string(width) + " x " + std::to_string(height);
}

} // namespace

CGateway::CGateway(SessionContext* s)
    : session(s), reader([this](void* b, uint32_t n) { return Receive(b, n); }),
      videoWorker([this](const CVideoWorker::Packet& p) { DrawVideo(p); }) {
    const uint16_t port = static_cast<uint16_t>(session->port & 0xFFFF);
    // An IPv6 address is listened on with IPv6, the any-address "::" taking
    // IPv4 peers as well; anything else is read as IPv4.
    platform::IpAddress host;
    if (platform::ParseIpAddress(session->address, host)) {
        addressLength = platform::MakeSocketAddress(host, port, address);
    } else {
        auto& in = reinterpret_cast<sockaddr_in&>(address);
        in.sin_family = AF_INET;
        in.sin_port = htons(port);
        in.sin_addr.s_addr = inet_addr(session->address);
        addressLength = sizeof in;
    }
    SOCKET s0 = OpenListener();
    if (s0 == INVALID_SOCKET) {
        listenError = platform::LastSocketError();
        ReportSocketError();
        return;
    }
    listener = s0;
    listening = true;
}

SOCKET CGateway::OpenListener() {
    SOCKET s = ::socket(address.ss_family, SOCK_STREAM, 0);
    if (s == INVALID_SOCKET)
        return s;
    platform::SetReuseAddress(s);
    if (address.ss_family == AF_INET6)
        platform::SetBothFamilies(s);
    if (bind(s, reinterpret_cast<sockaddr*>(&address), addressLength) == SOCKET_ERROR ||
        listen(s, kBacklog) == SOCKET_ERROR) {
        const int code = platform::LastSocketError();
        closesocket(s);
        WSASetLastError(code);
        return INVALID_SOCKET;
    }
    return s;
}

std::string CGateway::ListenText() const {
    platform::IpAddress host;
    uint16_t port = 0;
    if (platform::ReadSocketAddress(address, host, port))
        return platform::EndpointText(host, port);
    return std::string(session->address) + ":" + std::to_string(session->port);
}

void CGateway::RetryListen() {
    SOCKET s = OpenListener();
    if (s == INVALID_SOCKET) {
        listenError = platform::LastSocketError();
        return;
    }
    {
        std::lock_guard guard(connectionLock);
        // Stopped meanwhile: it would never be woken.
        if (closing) {
            closesocket(s);
            return;
        }
        listener = s;
        listenError = 0;
        listening = true;
    }
    ReportText(Utf8ToUtf16("Listening on " + ListenText() + "."), CErrorLine::Level::kNotice);
}

bool CGateway::Admit(SOCKET c, const sockaddr_storage& from) {
    platform::IpAddress peer;
    uint16_t port = 0;
    const bool known = platform::ReadSocketAddress(from, peer, port);
    if (allowList.Open() || (known && allowList.Allows(peer)))
        return true;
    platform::CloseAbortively(c);
    const auto now = std::chrono::steady_clock::now();
    if (refusalReported && now - *refusalReported < std::chrono::seconds(1)) {
        ++refusalsUnreported;
        ++connectionsRefused;
        return false;
    }
    std::string text =
        "Refused a connection from " +
        (known ? platform::EndpointText(peer, port) : std::string("an unknown address")) +
        ": not an allowed address.";
    if (refusalsUnreported)
        text += " " + std::to_string(refusalsUnreported) + " more refused before it.";
    ReportText(Utf8ToUtf16(text));
    refusalReported = now;
    refusalsUnreported = 0;
    // Counted once it is said, so that whoever sees the count sees the text.
    ++connectionsRefused;
    return false;
}

CGateway::~CGateway() {
    Stop();
    SOCKET l = listener.exchange(INVALID_SOCKET);
    if (l != INVALID_SOCKET) closesocket(l);
}

void CGateway::Wake() {
    // The handle stays open until the destructor: the worker may be about to
    // call accept on it, and a closed number could meanwhile be given to
    // another file.
    std::lock_guard guard(connectionLock);
    closing = true;
    listening = false;
    platform::Wake(listener);
    platform::Wake(connection);
}

void CGateway::MoveVideo() {
    // Taken so that a picture being drawn into the old window is done first.
    std::lock_guard guard(lock);
    if (videoOpen)
        video.Retarget(session);
}

CReturnAudio::Counters CGateway::ReturnCounters() {
    std::lock_guard guard(senderLock);
    return returnAudio ? returnAudio->GetCounters() : CReturnAudio::Counters{};
}

CReturnAudio::Counters CGateway::ReturnTotals() {
    std::lock_guard guard(senderLock);
    CReturnAudio::Counters totals = returnDone;
    if (returnAudio)
        CCounters<CReturnAudio::Counters>::Sum(totals, returnAudio->GetCounters());
    return totals;
}

std::optional<CCapture::Status> CGateway::ReturnStatus() {
    std::lock_guard guard(senderLock);
    if (!returnAudio)
        return std::nullopt;
    return returnAudio->GetStatus();
}

CGateway::Traffic CGateway::GetTraffic() const {
    Traffic t;
    t.videoPackets = videoPackets;
    t.videoBytes = videoBytes;
    t.audioPackets = audioPackets;
    t.audioBytes = audioBytes;
    for (size_t i = 0; i < t.refused.size(); ++i)
        t.refused[i] = refused[i];
    return t;
}

CGateway::Peer CGateway::ConnectedPeer() const {
    std::lock_guard guard(peerLock);
    return peer;
}

uint64_t CGateway::PictureTimings(uint64_t after, std::vector<PictureTiming>& out) const {
    std::lock_guard guard(timingLock);
    const uint64_t oldest = timingsNumbered > timings.size() ? timingsNumbered - timings.size() : 0;
    for (uint64_t n = std::max(after, oldest); n < timingsNumbered; ++n)
        out.push_back(timings[n % timings.size()]);
    return timingsNumbered;
}

void CGateway::NoteArrival(CVideoWorker::Clock::time_point due,
                           CVideoWorker::Clock::time_point arrival) {
    std::lock_guard guard(timingLock);
    // Full only when pictures are dropped unseen: the oldest is then the
    // likeliest to be gone already.
    if (arrivalCount == arrivals.size()) {
        arrivalFirst = (arrivalFirst + 1) % arrivals.size();
        --arrivalCount;
    }
    arrivals[(arrivalFirst + arrivalCount++) % arrivals.size()] = {due, arrival};
}

void CGateway::ForgetArrival(CVideoWorker::Clock::time_point due) {
    std::lock_guard guard(timingLock);
    if (arrivalCount && arrivals[(arrivalFirst + arrivalCount - 1) % arrivals.size()].due == due)
        --arrivalCount;
}

void CGateway::NoteTiming(CVideoWorker::Clock::time_point due,
                          CVideoWorker::Clock::time_point drawn, double drawMicros, bool shown) {
    std::lock_guard guard(timingLock);
    PictureTiming timing;
    timing.drawMicros = uint32_t(std::clamp(drawMicros, 0.0, double(UINT32_MAX - 1)));
    // Pictures are drawn in the order they came; the arrivals of any that
    // were dropped before this one are passed over.
    while (arrivalCount) {
        Arrival a = arrivals[arrivalFirst];
        arrivalFirst = (arrivalFirst + 1) % arrivals.size();
        --arrivalCount;
        if (a.due == due) {
            if (!shown)
                break;
            auto micros = std::chrono::duration_cast<std::chrono::microseconds>(drawn - a.arrival);
            timing.latencyMicros =
                uint32_t(std::clamp<int64_t>(micros.count(), 0, PictureTiming::kUnknown - 1));
            break;
        }
    }
    timings[timingsNumbered++ % timings.size()] = timing;
}

uint32_t CGateway::GetVolume() { return audio.GetVolume(); }

void CGateway::SetVolume(uint32_t volume) { audio.SetVolume(volume); }

void CGateway::ReportSocketError(CErrorLine::Level level) {
    int code = platform::LastSocketError();
    if (CErrorHandler* handler = session->errorHandler)
        handler->Report(kReportSystemError, uintptr_t(code), level);
}

void CGateway::ReportText(const std::u16string& text, CErrorLine::Level level) {
    if (CErrorHandler* handler = session->errorHandler) handler->ReportText(text.c_str(), level);
}

uint32_t CGateway::Execute() {
    // This thread decodes and plays the sound: it must not wait behind
    // pictures or anything else the machine is busy with.
    platform::SetThreadPriority(platform::ThreadRole::kReceive);
    if (retryListen && !listening) {
        const int code = listenError;
        const std::string why = platform::IsAddressInUse(code)
                                    ? "another program listens there already"
                                    : platform::SystemErrorText(code);
        ReportText(Utf8ToUtf16("Cannot listen on " + ListenText() + " (" + why +
                               "); trying again every second."));
    }
    // A refused connection is no reason to keep the next one waiting.
    bool pause = true;
    for (;;) {
        if (StopRequested(pause ? 1000 : 0))
            return 0;
        pause = true;
        if (retryListen && !listening) {
            RetryListen();
            continue;
        }
        sockaddr_storage from{};
        socklen_t fromLength = sizeof from;
        SOCKET c = accept(listener, reinterpret_cast<sockaddr*>(&from), &fromLength);
        if (c == INVALID_SOCKET) continue;
        if (!Admit(c, from)) {
            pause = false;
            continue;
        }
        {
            std::lock_guard guard(connectionLock);
            connection = c;
            // A Stop that came while accept was returning: wake this one too.
            if (closing) platform::Wake(c);
        }
        Prepare(c);
        ++connectionsServed;
        Serve();
        Teardown();
    }
}

void CGateway::Prepare(SOCKET c) {
    platform::TuneConnection(c, kSendTimeoutMs);
    idleSeconds = std::clamp(session->idleTimeout.load(), 0, kLongestIdleTimeout);
    idleExpired = false;
    if (idleSeconds > 0)
        platform::SetReceiveTimeout(c, idleSeconds * 1000);
    // Silence is the idle time-out's to judge: while it is on, probes begin
    // only once it has run out. No limit is set on unacknowledged data
    // (TCP_USER_TIMEOUT): the system counts it from the first retransmission
    // even while the field unit keeps sending, so one slow to take return
    // audio would lose its feed. While return audio waits for
    // acknowledgement the system sends no probes; the sender then looks for
    // a field unit that answers nothing, after the same time.
    const int keepIdle = idleSeconds > 0 ? std::min(idleSeconds, kLongestKeepAliveIdle)
                                         : kKeepAliveIdleS;
    platform::SetDeadPeerDetection(c, keepIdle, kKeepAliveIntervalS, kKeepAliveCount);
    peerGoneAfter = std::chrono::seconds(keepIdle + kKeepAliveIntervalS * kKeepAliveCount);
}

void CGateway::Serve() {
    const std::string peerAddress = platform::PeerAddress(connection);
    {
        std::lock_guard guard(peerLock);
        peer = {peerAddress, std::chrono::steady_clock::now()};
    }
    {
        std::lock_guard guard(timingLock);
        arrivalCount = 0;
    }
    session->connected = 1;
    std::unique_ptr<CReturnAudio> returned(new (std::nothrow) CReturnAudio(
        session, connection.load(), std::make_unique<CAudioEncoder>(), &returnMeter));
    if (returned)
        returned->SetPeerGoneAfter(peerGoneAfter);
    {
        std::lock_guard guard(senderLock);
        returnAudio = std::move(returned);
    }
    {
        std::lock_guard guard(lock);
        videoOpen = 0;
        videoReported = 0;
        picturesAtStart = video.GetCounters().pictures;
    }
    audioOpen = 0;
    pictureClock.Reset();
    videoThread = videoWorker.Start();
    if (tap)
        tap->ConnectionStarted(peerAddress);
    while (!StopRequested(0)) {
        // An orderly close or a bad header sets no socket error: nothing is shown.
        WSASetLastError(0);
        receiveEnded = false;
        if (!reader.Read()) {
            if (!receiveEnded && reader.Header().Magic() != kFieldUnitMagic)
                ++refused[kRefusedBadHeader];
            if (idleExpired)
                ReportText(Utf8ToUtf16("Nothing received from the field unit for " +
                                       std::to_string(idleSeconds) + " s; connection closed."));
            else
                ReportSocketError(CErrorLine::Level::kWarning); // this connection only
            break;
        }
        ++packetsRead;
        if (tap)
            tap->PacketArrived(reader.Header(), reader.Payload(), reader.PayloadLength(),
                               std::chrono::steady_clock::now());
        Dispatch();
    }
}

void CGateway::Dispatch() {
    const PacketHeader& header = reader.Header();
    const uint8_t* payload = reader.Payload();
    uint32_t payloadLength = reader.PayloadLength();
    switch (header.Type()) {
    case kPacketAudio:
        ++audioPackets;
        audioBytes += payloadLength;
        if (const uint32_t chosen = uint32_t(ReceiveLatencyMs());
            chosen != audio.ReceiveLatencyMs())
            audio.SetReceiveLatencyMs(chosen);
        if (!audioOpen) {
            WAVEFORMATEX* format = session->playbackFormat;
            if (format) {
                format->nSamplesPerSec = header.Value1();
                format->nChannels = header.Value2();
                format->nBlockAlign = static_cast<uint16_t>(format->nChannels * 2);
                format->nAvgBytesPerSec = format->nSamplesPerSec * format->nBlockAlign;
            }
            audio.Open(session);
            audioOpen = 1;
        }
        PlaySound(payload, payloadLength);
        break;
    case kPacketVideo: {
        ++videoPackets;
        videoBytes += payloadLength;
        // The tap has had it; nothing here wants the picture.
        if (session->skipPictures)
            break;
        const auto arrival = CVideoWorker::Clock::now();
        const auto due = PictureDue(arrival);
        CVideoWorker::Packet packet{header, {}, due, due};
        // Noted first: the video thread may draw it before Push returns.
        NoteArrival(packet.due, arrival);
        if (videoThread) {
            if (!videoWorker.Push(header, payload, payloadLength, packet.due, arrival))
                ForgetArrival(packet.due);
            ReportDropBurst(arrival);
        } else {
            // No thread of its own could be had: drawn here, as it comes.
            packet.payload.assign(payload, payload + payloadLength);
            DrawVideo(packet);
        }
        break;
    }
    default:
        ++refused[kRefusedUnknownType]; // read whole and dropped
        break;
    }
}

void CGateway::DrawVideo(const CVideoWorker::Packet& packet) {
    auto start = CVideoWorker::Clock::now();
    bool shown = false;
    {
        std::lock_guard guard(lock);
        if (!videoOpen) {
            session->videoWidth = packet.header.Value1();
            session->videoHeight = packet.header.Value2();
            video.Open(session);
            videoOpen = 1;
        }
        const uint32_t before = video.GetCounters().pictures;
        video.Draw(packet.payload.data(), uint32_t(packet.payload.size()),
                   packet.header.KeyFrame() ? 1 : 0);
        shown = video.GetCounters().pictures != before;
        if (!shown)
            ++refused[kRefusedNotDecoded];
        NoteVideo();
    }
    const auto drawn = CVideoWorker::Clock::now();
    double took = std::chrono::duration<double, std::micro>(drawn - start).count();
    pictureMicros = CLipSyncPolicy::SmoothDrawMicros(pictureMicros, took);
    NoteTiming(packet.pushedDue, drawn, took, shown);
}

void CGateway::ReportDropBurst(CVideoWorker::Clock::time_point now) {
    CVideoWorker::DropBurst burst;
    if (!videoWorker.TakeDropBurst(now, burst))
        return;
    const std::string count = std::to_string(burst.dropped);
    ReportText(Utf8ToUtf16(
        burst.ended ? "Pictures fell behind: " + count +
                          " dropped, up to the next picture decoding could start from."
                    : "Pictures fell behind: " + count +
                          " dropped so far, waiting for a key frame or recovery point "
                          "from the field unit."));
}

CVideoWorker::Clock::time_point CGateway::PictureDue(CVideoWorker::Clock::time_point arrival) {
    CLipSyncPolicy::Settings settings;
    settings.on = session->lipSync != 0;
    if (settings.on) {
        settings.offsetMs = session->lipSyncOffsetMs;
        settings.longestMicros = LongestHoldBackMicros();
    }
    const int64_t hold =
        CLipSyncPolicy::HoldBackMicros(arrival, pictureClock, pictureMicros, settings);
    holdBackMicros = hold;
    return arrival + std::chrono::microseconds(hold);
}

int64_t CGateway::LongestHoldBackMicros() const {
    return CLipSyncPolicy::LongestHoldBackMicros(audio.ReceiveLatencyMs(),
                                                 kHoldBackBeyondLatencyMicros);
}

void CGateway::PlaySound(const uint8_t* payload, uint32_t length) {
    // Measured just before the packet is queued, where the queue's sawtooth
    // from packet to packet is at its lowest.
    const auto now = CVideoWorker::Clock::now();
    const int64_t ahead = audio.AheadMicros();
    audio.Play(payload, length);
    pictureClock.Sound(now, ahead, audio.LastPacketMicros());
}

void CGateway::NoteVideo() {
    if (!connectionPicture && video.GetCounters().pictures != picturesAtStart)
        connectionPicture = true;
    // Each cause once a connection.
    const CVideoRenderer::Refusals& refusals = video.GetRefusals();
    uint32_t fresh = refusals.causes & ~videoReported;
    if (!fresh)
        return;
    videoReported |= fresh;
    if (fresh & CVideoRenderer::kHeaderSizeRefused)
        ReportText(Utf8ToUtf16("The field unit announced a video size of " +
                               Size(refusals.headerWidth, refusals.headerHeight) +
                               ", which is refused; the picture takes the stream's own size."));
    if (fresh & CVideoRenderer::kStreamSizeRefused)
        ReportText(Utf8ToUtf16("The field unit's video of " +
                               Size(refusals.streamWidth, refusals.streamHeight) +
                               " is larger than allowed; no picture is shown."));
    if (fresh & CVideoRenderer::kDecoderNotOpened)
        ReportText(u"The H.264 video decoder could not be opened; no picture is shown.",
                   CErrorLine::Level::kError);
}

void CGateway::Teardown() {
    if (tap)
        tap->ConnectionEnded();
    {
        // Stopped before the socket it writes to is closed.
        std::lock_guard guard(senderLock);
        if (returnAudio) {
            returnAudio->Stop();
            CCounters<CReturnAudio::Counters>::Sum(returnDone, returnAudio->GetCounters());
            returnAudio.reset();
        }
    }
    {
        std::lock_guard guard(peerLock);
        peer = {};
    }
    {
        std::lock_guard guard(connectionLock);
        SOCKET c = connection.exchange(INVALID_SOCKET);
        if (c != INVALID_SOCKET) {
            shutdown(c, SD_BOTH);
            closesocket(c);
        }
    }
    session->connected = 0;
    // Pictures still queued are drawn, unless the session is stopping.
    if (StopRequested(0))
        videoWorker.Stop();
    else
        videoWorker.Finish();
    videoWorker.ReleaseBuffers();
    videoThread = false;
    // Only now: the pictures drawn just above belong to this connection, and
    // must not make the next one look as if it had a picture of its own.
    connectionPicture = false;
    {
        std::lock_guard guard(lock);
        if (videoOpen) {
            video.Close();
            videoOpen = 0;
        }
    }
    if (audioOpen) {
        audio.Close();
        audioOpen = 0;
    }
    // A payload buffer grown by a large packet is not kept between field units.
    reader.Release();
}

long CGateway::Receive(void* buffer, uint32_t length) {
    for (;;) {
        auto got = recv(connection, static_cast<char*>(buffer), length, 0);
        if (got == SOCKET_ERROR) {
            int code = WSAGetLastError();
            if (platform::IsInterrupted(code)) continue;
            if (platform::IsReceiveTimeout(code)) idleExpired = true;
        }
        if (got <= 0)
            receiveEnded = true;
        return static_cast<long>(got);
    }
}
