#include "CReturnReceiver.h"

#include "CLog.h"
#include "CReturnTone.h"
#include "CStatusLine.h"
#include "CWavWriter.h"
#include "codec/CAdtsHeader.h"
#include "core/PacketHeader.h"

#include <cstdio>
#include <system_error>

CReturnReceiver::CReturnReceiver(SOCKET s, CStatusLine& st, const Settings& se)
    : socket(s), status(st), settings(se) {}

CReturnReceiver::~CReturnReceiver() {
    Join();
}

void CReturnReceiver::Start() {
    thread = std::thread([this] { Run(); });
}

void CReturnReceiver::Join() {
    if (thread.joinable())
        thread.join();
}

std::string CReturnReceiver::Error() const {
    std::lock_guard guard(errorLock);
    return error;
}

void CReturnReceiver::Fail(Outcome why, const std::string& text) {
    {
        std::lock_guard guard(errorLock);
        error = text;
    }
    outcome = why;
}

std::string CReturnReceiver::CheckHeader(const uint8_t* bytes) {
    PacketHeader h;
    std::copy(bytes, bytes + sizeof h.bytes, h.bytes);
    char text[160];
    if (h.Magic() != kReturnAudioMagic) {
        std::snprintf(text, sizeof text, "bytes 1-3 are %02X %02X %02X, not FF 88 00", bytes[1],
                      bytes[2], bytes[3]);
        return text;
    }
    if (h.Type() != kPacketAudio) {
        std::snprintf(text, sizeof text, "type 0x%02X is not audio (0x14)", h.Type());
        return text;
    }
    if (CAdtsHeader::RateIndex(h.Value1()) < 0)
        return "sample rate " + std::to_string(h.Value1()) + " is not an AAC rate";
    if (h.Value2() < 1 || h.Value2() > 8)
        return std::to_string(h.Value2()) + " channels cannot be AAC";
    if (h.PayloadLength() > kMaxPayload)
        return "payload of " + std::to_string(h.PayloadLength()) + " bytes is far too long";
    return {};
}

bool CReturnReceiver::ReceiveAll(uint8_t* data, size_t length) {
    while (length > 0) {
        auto got = ::recv(socket, reinterpret_cast<char*>(data),
                          length > 0x100000 ? 0x100000 : int(length), 0);
        if (got > 0) {
            data += got;
            length -= size_t(got);
            continue;
        }
        int code = WSAGetLastError();
        if (got < 0 && code == EINTR)
            continue;
        if (closing) {
            outcome = Outcome::Closed;
        } else if (got == 0) {
            Fail(Outcome::Broken, "the studio closed the connection");
        } else {
            Fail(Outcome::Broken,
                 "connection to the studio broken: " + std::system_category().message(code));
        }
        return false;
    }
    return true;
}

bool CReturnReceiver::Handle(const uint8_t* data, size_t length) {
    // The frames' own length fields must tile the payload exactly.
    size_t at = 0;
    while (at < length) {
        size_t frame = CAdtsHeader::FrameLength(data + at, length - at);
        if (frame == 0 || frame > length - at) {
            Fail(Outcome::BadPacket, "bad return audio packet: the payload is not ADTS frames "
                                     "(at byte " +
                                         std::to_string(at) + " of " + std::to_string(length) +
                                         ")");
            return false;
        }
        at += frame;
    }
    pcm.clear();
    for (at = 0; at < length;) {
        size_t frame = CAdtsHeader::FrameLength(data + at, length - at);
        if (!decoder.Decode(data + at, frame, pcm) && !warnedDecode) {
            CLog::Warn("a return audio frame did not decode; skipping such frames");
            warnedDecode = true;
        }
        at += frame;
    }
    status.CountReturn(pcm.data(), pcm.size());
    if (settings.tone)
        settings.tone->Count(pcm.data(), pcm.size(), rate, channels);
    if (settings.wav && settings.wav->IsOpen()) {
        settings.wav->Write(pcm.data(), pcm.size());
        bytesSinceHeaderUpdate += pcm.size() * 2;
        if (bytesSinceHeaderUpdate >= uint64_t(rate) * channels * 2) {
            settings.wav->UpdateHeader();
            bytesSinceHeaderUpdate = 0;
        }
    }
    if (player.IsOpen())
        player.Play(pcm.data(), pcm.size());
    return true;
}

void CReturnReceiver::Run() {
    PacketHeader h;
    while (ReceiveAll(h.bytes, sizeof h.bytes)) {
        std::string wrong = CheckHeader(h.bytes);
        if (!wrong.empty()) {
            Fail(Outcome::BadPacket, "bad return audio packet: " + wrong);
            break;
        }
        if (rate == 0) {
            rate = h.Value1();
            channels = h.Value2();
            if (!decoder.Open(rate, channels)) {
                Fail(Outcome::BadPacket, "cannot open the AAC decoder for the return audio");
                break;
            }
            if (settings.wav)
                settings.wav->SetFormat(rate, channels);
            if (settings.play) {
                std::string why;
                if (!player.Open(settings.device, rate, channels, why))
                    CLog::Warn(why + "; the return audio is not played");
            }
            CLog::Info("return audio: AAC " + std::to_string(rate) + " Hz, " +
                       std::to_string(channels) + " channel(s)");
        } else if (h.Value1() != rate || h.Value2() != channels) {
            Fail(Outcome::BadPacket, "bad return audio packet: the format changed mid-stream to " +
                                         std::to_string(h.Value1()) + " Hz, " +
                                         std::to_string(h.Value2()) + " channel(s)");
            break;
        }
        payload.resize(h.PayloadLength());
        if (!ReceiveAll(payload.data(), payload.size()))
            break;
        if (!Handle(payload.data(), payload.size()))
            break;
    }
    player.Close();
    decoder.Close();
    ended = true;
}
