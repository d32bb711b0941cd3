#include "CNetwork.h"

#include "platform/SocketOptions.h"

#include <cstring>
#include <new>

namespace {

static_assert(CNetwork::kFinishWithinMs == 2000, "the text below says how long");
constexpr char16_t kCutPacketStuck[] =
    u"The field unit took no more return audio for 2 s; connection closed.";
constexpr char16_t kPeerGone[] = u"The field unit no longer answers; connection closed.";

} // namespace

CNetwork::CNetwork(SOCKET s, CFrameEncoder* e, int32_t frames, const WAVEFORMATEX& format,
                   CErrorHandler* h)
    : socket(s), encoder(e), handler(h) {
    header.SetMagic(kReturnAudioMagic);
    header.SetType(kPacketAudio, false);
    header.SetValue1(static_cast<uint16_t>(format.nSamplesPerSec & 0xFFFF));
    header.SetValue2(format.nChannels);

    const int64_t frameBytes = int64_t(frames) * format.nBlockAlign;
    const int64_t chunk = int64_t(kFramesPerPacket) * frameBytes;
    // A payload must fit the header's 24-bit length.
    if (!encoder || frames <= 0 || frameBytes <= 0 || chunk > int64_t(kMaxPayloadLength))
        return;
    // Room for as many coded bytes as the chunk has PCM bytes: far more than
    // five AAC frames ever take.
    packetCapacity = sizeof header.bytes + static_cast<uint32_t>(chunk);
    packet.reset(new (std::nothrow) uint8_t[packetCapacity]);
    cut.reset(new (std::nothrow) uint8_t[packetCapacity]);
    if (!packet || !cut) {
        packetCapacity = 0;
        return;
    }
    frameSize = frames;
    bytesPerFrame = static_cast<uint32_t>(frameBytes);
    chunkBytes = static_cast<uint32_t>(chunk);
}

void CNetwork::Send(const uint8_t* chunk, uint32_t length) {
    counters.Add(&Counters::chunks);
    if (broken || !chunk || chunkBytes == 0 || length < chunkBytes) {
        counters.Add(&Counters::chunksDropped);
        return;
    }
    uint8_t* payload = packet.get() + sizeof header.bytes;
    const uint32_t room = packetCapacity - sizeof header.bytes;
    uint32_t total = 0;
    const auto start = std::chrono::steady_clock::now();
    for (uint32_t i = 0; i < kFramesPerPacket; ++i) {
        const auto* samples = reinterpret_cast<const int16_t*>(chunk + size_t(i) * bytesPerFrame);
        const int32_t coded =
            encoder->Encode(payload + total, static_cast<int32_t>(room - total), samples);
        if (coded < 0) {
            // A frame the encoder failed on is left out; the others still go.
            counters.Add(&Counters::framesSkipped);
            continue;
        }
        if (static_cast<uint32_t>(coded) > room - total) {
            // More than the room given: the output cannot be trusted.
            counters.Add(&Counters::chunksDropped);
            return;
        }
        total += static_cast<uint32_t>(coded);
    }
    counters.Add(&Counters::encodeNanoseconds,
                 uint64_t(std::chrono::duration_cast<std::chrono::nanoseconds>(
                              std::chrono::steady_clock::now() - start)
                              .count()));
    // All five frames still filling the encoder's delay: no packet.
    if (total == 0)
        return;
    header.SetPayloadLength(total);
    std::memcpy(packet.get(), header.bytes, sizeof header.bytes);
    const uint32_t size = sizeof header.bytes + total;
    platform::SendState state = platform::GetSendState(socket);
    // Keep-alive sends no probes while data waits for acknowledgement, and
    // the system's own retransmissions give up only after many minutes.
    const int64_t goneMs = peerGoneMs;
    if (goneMs > 0 && state.queued > state.unsent && state.unsent >= 0 &&
        state.quietMs >= goneMs) {
        GiveUp(kPeerGone);
        return;
    }
    // The rest of an earlier packet goes first, or the framing is lost.
    if (cutEnd > cutAt) {
        if (!FinishCutPacket())
            return;
        if (cutEnd > cutAt) {
            counters.Add(&Counters::chunksDropped);
            counters.Add(&Counters::packetsDropped);
            return;
        }
        state = platform::GetSendState(socket);
    }
    // At most one packet waits in the system's queue behind a closed window,
    // so that the return audio never grows late: a packet goes when the
    // window takes it whole, or when nothing of ours is on its way, for a
    // window smaller than one packet, which the system then fills as it
    // opens.
    const bool fits = state.queued < 0 ||
                      (state.unsent == 0 &&
                       (state.queued == 0 || state.window - state.queued >= long(size)));
    const long sent = fits ? platform::SendWithoutWaiting(socket, packet.get(), size) : 0;
    if (sent < 0) {
        GiveUp(nullptr);
        return;
    }
    if (sent == 0) {
        counters.Add(&Counters::chunksDropped);
        counters.Add(&Counters::packetsDropped);
        return;
    }
    if (uint32_t(sent) < size) {
        std::memcpy(cut.get(), packet.get() + sent, size - uint32_t(sent));
        cutAt = 0;
        cutEnd = size - uint32_t(sent);
        cutSince = std::chrono::steady_clock::now();
        counters.Add(&Counters::packetsCut);
        return;
    }
    counters.Add(&Counters::packetsSent);
}

bool CNetwork::FinishCutPacket() {
    const long sent = platform::SendWithoutWaiting(socket, cut.get() + cutAt, cutEnd - cutAt);
    if (sent < 0) {
        GiveUp(nullptr);
        return false;
    }
    cutAt += uint32_t(sent);
    if (cutAt == cutEnd) {
        cutAt = cutEnd = 0;
        counters.Add(&Counters::packetsSent);
        return true;
    }
    if (std::chrono::steady_clock::now() - cutSince > std::chrono::milliseconds(kFinishWithinMs)) {
        GiveUp(kCutPacketStuck);
        return false;
    }
    return true;
}

void CNetwork::GiveUp(const char16_t* text) {
    // The worker's receive then ends, and it tears the connection down. A
    // failed send is not shown: that receive meets the same failure, or the
    // connection is being ended already.
    broken = true;
    counters.Add(&Counters::chunksDropped);
    if (handler && text)
        handler->ReportText(text);
    platform::Wake(socket);
}
