#include "CNetwork.h"

#include "CAudioIn.h"
#include "core/CErrorHandler.h"
#include "platform/SocketCompat.h"
#include "platform/SocketOptions.h"

#include <chrono>
#include <cstring>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

namespace {

constexpr char16_t kEncoderNotOpened[] =
    u"The AAC encoder could not be opened: no studio audio is sent back.";
static_assert(CNetwork::kFinishWithinMs == 2000, "the text below says how long");
constexpr char16_t kCutPacketStuck[] =
    u"The field unit took no more return audio for 2 s; connection closed.";
constexpr char16_t kPeerGone[] = u"The field unit no longer answers; connection closed.";

// The capture device of each session's current connection, for the GUI
// thread's property dialog. The worker adds and removes entries under the lock,
// so the GUI thread never reaches a sender that is being destroyed.
std::mutex registryLock;
std::vector<std::pair<const SessionContext*, std::shared_ptr<platform::CCaptureFilter>>> registry;

} // namespace

CNetwork::CNetwork(SessionContext* s, std::unique_ptr<CFrameEncoder> e, CLevelMeter* m)
    : session(s), encoder(std::move(e)) {
    if (session->audioSource == 0)
        return;

    const WAVEFORMATEX* format = session->captureFormat;
    header.SetMagic(kReturnAudioMagic);
    header.SetType(kPacketAudio, false);
    if (format) {
        header.SetValue1(static_cast<uint16_t>(format->nSamplesPerSec & 0xFFFF));
        header.SetValue2(format->nChannels);
    }

    session->grabber = new (std::nothrow) CAudioIn(session, this);
    framesPerPacket = kFramesPerPacket;
    frameSize = format && encoder ? encoder->Open(session) : 0;
    int64_t frameBytes = int64_t(frameSize) * (format ? format->nBlockAlign : 0);
    int64_t chunk = int64_t(framesPerPacket) * frameBytes;
    // A payload must fit the header's 24-bit length.
    if (frameSize <= 0 || frameBytes <= 0 || chunk > int64_t(kMaxPayloadLength)) {
        frameSize = 0;
        frameBytes = 0;
        chunk = 0;
    }
    bytesPerFrame = static_cast<int32_t>(frameBytes);
    session->chunkSize = static_cast<int32_t>(chunk);

    if (chunk == 0) {
        // Nothing could be encoded, so no graph is built.
        if (CErrorHandler* handler = session->errorHandler)
            handler->ReportText(kEncoderNotOpened, CErrorLine::Level::kError);
        return;
    }
    // Room for as many coded bytes as the chunk has PCM bytes: far more than
    // five AAC frames ever take.
    packetCapacity = sizeof header.bytes + static_cast<uint32_t>(chunk);
    packet.reset(new (std::nothrow) uint8_t[packetCapacity]);
    cut.reset(new (std::nothrow) uint8_t[packetCapacity]);
    if (!packet || !cut)
        packetCapacity = 0;

    if (m && m->Open(int32_t(format->nSamplesPerSec), format->nChannels))
        meter = m;
    capture.Build(session);
    Publish();
    capture.Run();
}

CNetwork::~CNetwork() {
    Withdraw();
    if (session->audioSource != 0) {
        capture.Stop();
        capture.DetachCallback();
        if (meter)
            meter->Close();
        if (encoder)
            encoder->Close();
        if (CAudioIn* grabber = session->grabber.exchange(nullptr))
            delete grabber;
    }
}

void CNetwork::Publish() {
    std::shared_ptr<platform::CCaptureFilter> filter = capture.CaptureFilter();
    if (!filter)
        return;
    std::lock_guard guard(registryLock);
    for (auto& entry : registry) {
        if (entry.first == session) {
            entry.second = std::move(filter);
            return;
        }
    }
    registry.emplace_back(session, std::move(filter));
}

void CNetwork::Withdraw() {
    std::shared_ptr<platform::CCaptureFilter> ours = capture.CaptureFilter();
    if (!ours)
        return;
    std::shared_ptr<platform::CCaptureFilter> released;
    {
        std::lock_guard guard(registryLock);
        for (auto it = registry.begin(); it != registry.end(); ++it) {
            if (it->first == session && it->second == ours) {
                released = std::move(it->second);
                registry.erase(it);
                break;
            }
        }
    }
}

int32_t CNetwork::ShowCaptureProperties(const SessionContext* session,
                                        platform::OwnerWindow owner) {
    std::shared_ptr<platform::CCaptureFilter> filter;
    {
        std::lock_guard guard(registryLock);
        for (auto& entry : registry)
            if (entry.first == session)
                filter = entry.second;
    }
    if (!filter)
        return 0;
    // The dialog runs without the lock: the worker may end the connection
    // meanwhile, and the filter stays alive with the dialog.
    return CBaseCapture::ShowPropertyFrame(owner, filter);
}

void CNetwork::Send(const uint8_t* chunk, uint32_t length) {
    ++chunks;
    // What the studio says is metered whether or not the link takes it.
    if (meter && chunk)
        meter->Feed(chunk, length / uint32_t(session->captureFormat->nBlockAlign));
    uint32_t needed = framesPerPacket * static_cast<uint32_t>(bytesPerFrame);
    if (broken || !packet || !chunk || bytesPerFrame <= 0 || length < needed) {
        ++chunksDropped;
        return;
    }
    uint8_t* payload = packet.get() + sizeof header.bytes;
    uint32_t room = packetCapacity - sizeof header.bytes;
    uint32_t total = 0;
    auto start = std::chrono::steady_clock::now();
    for (uint32_t i = 0; i < framesPerPacket; ++i) {
        const auto* samples = reinterpret_cast<const int16_t*>(chunk + size_t(i) * bytesPerFrame);
        int32_t coded =
            encoder->Encode(payload + total, static_cast<int32_t>(room - total), samples);
        if (coded < 0) {
            // A frame the encoder failed on is left out; the others still go.
            ++framesSkipped;
            continue;
        }
        if (static_cast<uint32_t>(coded) > room - total) {
            // More than the room given: the output cannot be trusted.
            ++chunksDropped;
            return;
        }
        total += static_cast<uint32_t>(coded);
    }
    encodeNanoseconds += static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                                   std::chrono::steady_clock::now() - start)
                                                   .count());
    // All five frames still filling the encoder's delay: no packet.
    if (total == 0)
        return;
    header.SetPayloadLength(total);
    std::memcpy(packet.get(), header.bytes, sizeof header.bytes);
    const uint32_t size = sizeof header.bytes + total;
    SOCKET s = session->socket;
    platform::SendState state = platform::GetSendState(s);
    // Keep-alive sends no probes while data waits for acknowledgement, and
    // the system's own retransmissions give up only after many minutes.
    const int64_t goneMs = peerGoneMs;
    if (goneMs > 0 && state.queued > state.unsent && state.unsent >= 0 &&
        state.quietMs >= goneMs) {
        GiveUp(s, kPeerGone);
        return;
    }
    // The rest of an earlier packet goes first, or the framing is lost.
    if (cutEnd > cutAt) {
        if (!FinishCutPacket(s))
            return;
        if (cutEnd > cutAt) {
            ++chunksDropped;
            ++packetsDropped;
            return;
        }
        state = platform::GetSendState(s);
    }
    // At most one packet waits in the system's queue behind a closed window,
    // so that the return audio never grows late: a packet goes when the
    // window takes it whole, or when nothing of ours is on its way, for a
    // window smaller than one packet, which the system then fills as it
    // opens.
    bool fits = state.queued < 0 ||
                (state.unsent == 0 &&
                 (state.queued == 0 || state.window - state.queued >= long(size)));
    long sent = fits ? platform::SendWithoutWaiting(s, packet.get(), size) : 0;
    if (sent < 0) {
        GiveUp(s, nullptr);
        return;
    }
    if (sent == 0) {
        ++chunksDropped;
        ++packetsDropped;
        return;
    }
    if (uint32_t(sent) < size) {
        std::memcpy(cut.get(), packet.get() + sent, size - uint32_t(sent));
        cutAt = 0;
        cutEnd = size - uint32_t(sent);
        cutSince = std::chrono::steady_clock::now();
        ++packetsCut;
        return;
    }
    ++packetsSent;
}

bool CNetwork::FinishCutPacket(SOCKET s) {
    long sent = platform::SendWithoutWaiting(s, cut.get() + cutAt, cutEnd - cutAt);
    if (sent < 0) {
        GiveUp(s, nullptr);
        return false;
    }
    cutAt += uint32_t(sent);
    if (cutAt == cutEnd) {
        cutAt = cutEnd = 0;
        ++packetsSent;
        return true;
    }
    if (std::chrono::steady_clock::now() - cutSince > std::chrono::milliseconds(kFinishWithinMs)) {
        GiveUp(s, kCutPacketStuck);
        return false;
    }
    return true;
}

void CNetwork::GiveUp(SOCKET s, const char16_t* text) {
    // The worker's receive then ends, and it tears the connection down. A
    // failed send is not shown: that receive meets the same failure, or the
    // connection is being ended already.
    broken = true;
    ++chunksDropped;
    if (CErrorHandler* handler = session->errorHandler; handler && text)
        handler->ReportText(text);
    platform::Wake(s);
}

CNetwork::Counters& CNetwork::Counters::operator+=(const Counters& more) {
    chunks += more.chunks;
    packetsSent += more.packetsSent;
    chunksDropped += more.chunksDropped;
    packetsDropped += more.packetsDropped;
    packetsCut += more.packetsCut;
    framesSkipped += more.framesSkipped;
    encodeNanoseconds += more.encodeNanoseconds;
    return *this;
}

CNetwork::Counters CNetwork::GetCounters() const {
    Counters c;
    c.chunks = chunks;
    c.packetsSent = packetsSent;
    c.chunksDropped = chunksDropped;
    c.packetsDropped = packetsDropped;
    c.packetsCut = packetsCut;
    c.framesSkipped = framesSkipped;
    c.encodeNanoseconds = encodeNanoseconds;
    return c;
}

uint64_t CNetwork::CaptureBytesDropped() const {
    std::shared_ptr<platform::CCaptureFilter> filter = capture.CaptureFilter();
    return filter ? filter->GetProperties().bytesDropped : 0;
}
