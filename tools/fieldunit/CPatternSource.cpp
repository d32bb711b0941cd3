#include "CPatternSource.h"

#include "COptions.h"

#include <algorithm>
#include <cmath>

CPatternSource::~CPatternSource() {
    Close();
}

bool CPatternSource::Open(const COptions& o) {
    Close();
    fps = o.fps;
    audioRate = o.audioRate;
    auto s = media::CH264Encoder::Live(o.width, o.height, o.fps,
                                       o.VideoBitrate(o.width, o.height, o.fps), o.slices);
    // The pattern is drawn in BT.601 limited range, whatever its size; a
    // studio left to guess would take a 720p picture for BT.709.
    s.colourSpace = AVCOL_SPC_SMPTE170M;
    s.colourRange = AVCOL_RANGE_MPEG;
    if (o.gopSeconds > 0) {
        s.keyInterval = std::max(1, int(o.gopSeconds * o.fps + 0.5));
        s.minKeyInterval = std::min(s.minKeyInterval, s.keyInterval);
    }
    if (!pattern.Open(o.width, o.height, o.fps) || !tone.Open(o.audioRate, o.audioChannels)) {
        error = "out of memory";
        return false;
    }
    tone.SetMarks(o.toneMarkSeconds);
    tone.SetBeeps(o.flashBeepSeconds);
    pattern.SetFlashes(o.flashBeepSeconds);
    auto at = [](double seconds, int rate) {
        return seconds >= 0 ? int64_t(std::llround(seconds * rate)) : int64_t(-1);
    };
    pattern.SetFaults(at(o.blackAfterSeconds, o.fps), at(o.freezeAfterSeconds, o.fps),
                      at(o.resumeAfterSeconds, o.fps));
    tone.SetMute(at(o.muteAfterSeconds, o.audioRate), at(o.resumeAfterSeconds, o.audioRate));
    return video.Open(s, error) && audio.Open(o.audioRate, o.audioChannels, error);
}

void CPatternSource::Close() {
    video.Close();
    audio.Close();
    pattern.Close();
    tone.Close();
    ready.clear();
    frames = 0;
}

bool CPatternSource::Produce() {
    // Whichever stream is behind makes the next piece, so the two stay
    // interleaved by time.
    const int chunk = 1024;
    int64_t videoUs = frames * 1000000 / fps;
    int64_t audioUs = tone.SamplesMade() * 1000000 / audioRate;
    made.clear();
    if (videoUs <= audioUs) {
        AVFrame* picture = pattern.Render(frames);
        if (!picture || !video.Encode(picture, made)) {
            error = "the H.264 encoder failed";
            return false;
        }
        ++frames;
    } else {
        AVFrame* samples = tone.Next(chunk);
        if (!samples || !audio.Push(samples, 0, made)) {
            error = "the AAC encoder failed";
            return false;
        }
    }
    for (auto& p : made)
        ready.push_back(std::move(p));
    return true;
}

CMediaSource::Result CPatternSource::Read(media::CMediaPacket& packet) {
    while (ready.empty())
        if (!Produce())
            return Result::Error;
    packet = std::move(ready.front());
    ready.pop_front();
    return Result::Packet;
}
