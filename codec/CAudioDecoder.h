// The AAC decoder of the audio channel. Packets carry ADTS headers and no
// configuration comes out of band; the PCM comes out as interleaved signed
// 16-bit samples in the playback format of the session.
#pragma once

#include "codec/CAacCodec.h"
#include "core/SessionContext.h"

#include <cstdint>

class CAudioDecoder : public CAacCodec {
public:

    // Opens the decoder for the session's playback format; non-zero on success.
    int32_t Open(SessionContext* session);
    // Decodes one packet, every frame in it. pcmBytes holds the room at out on
    // entry and the PCM bytes written on return. Returns the coded bytes
    // consumed (all of them), or a negative value on error, which includes
    // PCM that would not fit and audio of another sample rate than the
    // playback format's.
    int32_t Decode(uint8_t* out, int32_t* pcmBytes, const uint8_t* data, int32_t length);
    void Close();
    // The sample rate of the last frame refused for not being at the playback
    // format's rate; 0 when none was.
    int32_t RefusedRate() const { return refusedRate; }

private:
    // Converts a decoded frame into out; the bytes written, or -1 when it
    // does not fit in room or cannot be converted.
    int32_t Convert(const AVFrame* decoded, uint8_t* out, int32_t room) const;

    int32_t sampleRate = 0;
    int32_t channels = 0;
    mutable int32_t refusedRate = 0;
};
