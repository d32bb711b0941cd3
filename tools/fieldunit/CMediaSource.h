// Where the packets come from: the generated test pattern or a media file.
#pragma once

#include "tools/media/CMediaPacket.h"

class CMediaSource {
public:
    virtual ~CMediaSource() = default;

    enum class Result { Packet, End, Error };
    // The next packet in send order. Error leaves a text in LastError.
    virtual Result Read(media::CMediaPacket& packet) = 0;
    virtual const char* LastError() const = 0;
};
