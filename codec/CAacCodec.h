// What the AAC decoder and encoder share: the libraries, the codec and its
// context made for a PCM format, and the frame and packet each makes once at
// Open.
#pragma once

#include "codec/CAvCodec.h"
#include "codec/CAvUtil.h"
#include "platform/WaveFormat.h"

#include <cstdint>

class CAacCodec : public CAvUtil, public CAvCodec {
public:
    // The owner closes first; this only keeps a forgotten Close from leaking.
    ~CAacCodec() override { FreeContext(); }

    const AVCodec* codec = nullptr;
    AVCodecContext* context = nullptr;

protected:
    CAacCodec() = default;

    // A format may come from the field unit's packet header: more channels
    // than this are refused.
    static constexpr int kMaxChannels = 8;
    enum class Direction { kDecode, kEncode };
    // Finds the codec and makes a context, not yet opened, at bitRate and the
    // format's rate and channels. False for a format that cannot be (none,
    // no channels or too many, no rate) or when the library fails.
    bool NewContext(Direction direction, const WAVEFORMATEX* format, int32_t bitRate);
    void FreeContext();

    AVFrame* frame = nullptr;
    AVPacket* packet = nullptr;
};
