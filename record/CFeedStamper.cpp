#include "CFeedStamper.h"

#include "AdtsFrames.h"
#include "AnnexB.h"
#include "core/NalUnits.h"

#include <algorithm>

namespace {

int64_t Microseconds(std::chrono::steady_clock::duration d) {
    return std::chrono::duration_cast<std::chrono::microseconds>(d).count();
}

} // namespace

void CFeedStamper::Begin(std::shared_ptr<const CFeedConnection> c) {
    // Everything but the counters belongs to one connection.
    Counters kept = counters;
    *this = CFeedStamper();
    counters = kept;
    connection = std::move(c);
}

CFeedPacketPtr CFeedStamper::End() {
    auto end = std::make_shared<CFeedPacket>();
    end->kind = CFeedPacket::Kind::End;
    end->connection = connection;
    return end;
}

void CFeedStamper::Stamp(const PacketHeader& header, const uint8_t* payload, uint32_t length,
                         Clock::time_point arrival, std::vector<CFeedPacketPtr>& out) {
    if (!started) {
        started = true;
        origin = arrival;
    }
    const int64_t now = std::max<int64_t>(0, Microseconds(arrival - origin));
    switch (header.Type()) {
    case kPacketVideo:
        StampVideo(header, payload, length, now, out);
        break;
    case kPacketAudio:
        StampAudio(header, payload, length, now, out);
        break;
    default:
        break;
    }
}

void CFeedStamper::StampVideo(const PacketHeader& header, const uint8_t* payload, uint32_t length,
                              int64_t now, std::vector<CFeedPacketPtr>& out) {
    const int width = header.Value1(), height = header.Value2();
    if (width < kMinPictureSide || width > kMaxPictureSide || height < kMinPictureSide ||
        height > kMaxPictureSide || !StartsWithStartCode(payload, length)) {
        ++counters.refusedVideo;
        return;
    }
    auto p = std::make_shared<CFeedPacket>();
    p->kind = CFeedPacket::Kind::Video;
    p->connection = connection;
    // Read from the picture: the header's key flag is only a hint for
    // drawing, and some field units never set it.
    p->key = ReadPictureStart(payload, length).chainStart;
    if (p->key) {
        std::vector<uint8_t> sets = ParameterSets(payload, length);
        if (!sets.empty() && (!parameterSets || *parameterSets != sets))
            parameterSets = std::make_shared<const std::vector<uint8_t>>(std::move(sets));
    }
    p->parameterSets = parameterSets;
    p->width = width;
    p->height = height;
    p->time = std::max(now, lastVideo + 1);
    lastVideo = p->time;
    p->data.assign(payload, payload + length);
    ++counters.pictures;
    out.push_back(std::move(p));
}

void CFeedStamper::StampAudio(const PacketHeader& header, const uint8_t* payload, uint32_t length,
                              int64_t now, std::vector<CFeedPacketPtr>& out) {
    std::vector<AdtsFrame> frames;
    const int headerRate = AdtsRateIndex(header.Value1());
    bool valid = headerRate >= 0 && SplitAdtsFrames(payload, length, frames);
    for (size_t i = 0; valid && i < frames.size(); ++i) {
        const AdtsFrame& f = frames[i];
        // The header's rate and channels, and the first packet's format for
        // the rest of the connection: a muxer's stream cannot change.
        valid = f.rateIndex == headerRate && AdtsChannels(f.channelConfig) == header.Value2() &&
                (rateIndex < 0 || (f.rateIndex == rateIndex && f.channelConfig == channelConfig &&
                                   f.objectType == objectType));
    }
    if (!valid) {
        ++counters.refusedAudio;
        return;
    }
    if (rateIndex < 0) {
        rateIndex = frames[0].rateIndex;
        channelConfig = frames[0].channelConfig;
        objectType = frames[0].objectType;
        audioConfig = std::make_shared<const std::vector<uint8_t>>(AudioSpecificConfig(frames[0]));
        audioAnchor = now;
    }
    const int rate = AdtsSampleRate(rateIndex);
    for (size_t i = 0; i < frames.size(); ++i) {
        const AdtsFrame& f = frames[i];
        const int64_t samples = int64_t(f.blocks) * 1024;
        const int64_t duration = samples * 1000000 / rate;
        if (i == 0)
            CheckAudioDrift(now);
        if (audioDebt > 0) {
            audioDebt -= duration;
            ++counters.audioFramesDropped;
            continue;
        }
        auto p = std::make_shared<CFeedPacket>();
        p->kind = CFeedPacket::Kind::Audio;
        p->connection = connection;
        p->time = std::max(AudioTime(), lastAudio + 1);
        p->duration = duration;
        lastAudio = p->time;
        p->sampleRate = rate;
        p->channels = AdtsChannels(channelConfig);
        p->headerLength = f.headerLength;
        p->blocks = f.blocks;
        p->audioConfig = audioConfig;
        p->data.assign(payload + f.offset, payload + f.offset + f.length);
        audioSamples += samples;
        ++counters.audioFrames;
        out.push_back(std::move(p));
    }
}

int64_t CFeedStamper::AudioTime() const {
    return audioAnchor + audioSamples * 1000000 / AdtsSampleRate(rateIndex);
}

void CFeedStamper::CheckAudioDrift(int64_t now) {
    const int64_t late = now - AudioTime();
    if (recent.empty())
        judgedFrom = now;
    recent.push_back({now, late});
    while (recent.front().at < now - kAudioDriftWindowUs)
        recent.pop_front();
    // Judged only over a whole window, so that the late packets of a burst
    // after a stall move nothing.
    if (now - judgedFrom < kAudioDriftWindowUs)
        return;
    // Delay only ever adds to lateness: the least of it is the sender's
    // true offset.
    int64_t least = late;
    for (const Lateness& l : recent)
        least = std::min(least, l.late);
    if (least > kAudioDriftLimitUs) {
        // Fewer samples came than time passed (lost, or a slow clock): the
        // sound goes on from its arrival, leaving a gap.
        audioAnchor += least;
        ++counters.audioRealigned;
        recent.clear();
    } else if (least < -kAudioDriftLimitUs) {
        // More samples than time: as much sound is left out as it ran ahead.
        audioDebt = -least;
        ++counters.audioRealigned;
        recent.clear();
    }
}
