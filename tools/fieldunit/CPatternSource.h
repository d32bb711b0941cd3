// The generated source: the test picture encoded with libx264 and the test
// tone encoded as AAC, interleaved by their timestamps.
#pragma once

#include "CAacEncoder.h"
#include "CH264Encoder.h"
#include "CMediaSource.h"
#include "CTestPattern.h"
#include "CToneGenerator.h"

#include <deque>
#include <string>

class COptions;

class CPatternSource : public CMediaSource {
public:
    CPatternSource() = default;
    ~CPatternSource() override;

    bool Open(const COptions& options);
    void Close();

    Result Read(CMediaPacket& packet) override;
    const char* LastError() const override { return error.c_str(); }

private:
    bool Produce();

    CTestPattern pattern;
    CToneGenerator tone;
    CH264Encoder video;
    CAacEncoder audio;
    std::deque<CMediaPacket> ready;
    std::vector<CMediaPacket> made;
    int fps = 30;
    int audioRate = 48000;
    int64_t frames = 0;
    std::string error;
};
