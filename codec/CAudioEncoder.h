// The AAC encoder of the return audio: one frame of interleaved signed 16-bit
// PCM in the capture format per call, one ADTS frame out.
#pragma once

#include "codec/CAdtsHeader.h"
#include "codec/CAacCodec.h"
#include "core/CFrameEncoder.h"
#include "core/SessionContext.h"

#include <cstdint>

class CAudioEncoder : public CAacCodec, public CFrameEncoder {
public:

    // Opens the encoder for the session's capture format; returns the frame
    // size in samples per channel (1024 for AAC), 0 when it cannot be opened.
    int32_t Open(SessionContext* session) override;
    // Encodes one frame (frame size x block alignment bytes of samples) into
    // out, which has capacity bytes of room. Returns the bytes written, each
    // frame with its own 7-byte ADTS header; 0 while the encoder fills its
    // delay; negative on error.
    int32_t Encode(uint8_t* out, int32_t capacity, const int16_t* samples) override;
    void Close() override;

    static constexpr int32_t kAdtsHeaderBytes = int32_t(CAdtsHeader::kSize);

private:
    // The frame and packet are made once at Open, so that Encode allocates
    // nothing of its own.
    int32_t frameSize = 0;
    int32_t channels = 0;
    int64_t nextPts = 0;
    // The fixed fields of every ADTS header, from the encoder's configuration.
    CAdtsHeader adts;
};
