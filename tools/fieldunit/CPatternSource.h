// The generated source: the test picture encoded with libx264 and the test
// tone encoded as AAC, interleaved by their timestamps.
#pragma once

#include "CMediaSource.h"
#include "CTestPattern.h"
#include "CToneGenerator.h"
#include "tools/media/CAacEncoder.h"
#include "tools/media/CH264Encoder.h"

#include <deque>
#include <string>

class COptions;

class CPatternSource : public CMediaSource {
public:
    CPatternSource() = default;
    ~CPatternSource() override;

    bool Open(const COptions& options);
    void Close();

    Result Read(media::CMediaPacket& packet) override;
    const char* LastError() const override { return error.c_str(); }

private:
    bool Produce();

    CTestPattern pattern;
    CToneGenerator tone;
    media::CH264Encoder video;
    media::CAacEncoder audio;
    std::deque<media::CMediaPacket> ready;
    std::vector<media::CMediaPacket> made;
    int fps = 30;
    int audioRate = 48000;
    int64_t frames = 0;
    std::string error;
};
