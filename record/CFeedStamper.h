// Gives the packets of one connection their times, which the wire does not
// carry: pictures the time they arrived, sound the time its sample count says,
// both from the same origin so that they stay as aligned as they arrived.
// Checks what the header and the payload claim before anything is handed on.
#pragma once

#include "CFeedPacket.h"
#include "core/PacketHeader.h"

#include <chrono>
#include <deque>
#include <vector>

class CFeedStamper {
public:
    using Clock = std::chrono::steady_clock;

    // Sound that runs ahead of or behind its arrival by more than this is put
    // back in step with it.
    static constexpr int64_t kAudioDriftLimitUs = 300000;
    // Over this much of the recent past the earliest arrivals are compared
    // with the sample count: network delay only ever makes packets late.
    static constexpr int64_t kAudioDriftWindowUs = 2000000;
    static constexpr int kMinPictureSide = 16;
    static constexpr int kMaxPictureSide = 8192;

    struct Counters {
        uint64_t pictures = 0;
        uint64_t audioFrames = 0;
        uint64_t refusedVideo = 0;  // packets whose header or payload did not hold
        uint64_t refusedAudio = 0;
        uint64_t audioRealigned = 0; // times the sound was put back in step
        uint64_t audioFramesDropped = 0; // to catch up with a sender running fast
    };

    CFeedStamper() = default;
    virtual ~CFeedStamper() = default;

    void Begin(std::shared_ptr<const CFeedConnection> connection);
    // Appends what the packet gives to out: nothing, one picture or its AAC
    // frames.
    void Stamp(const PacketHeader& header, const uint8_t* payload, uint32_t length,
               Clock::time_point arrival, std::vector<CFeedPacketPtr>& out);
    // The packet that marks the connection's end.
    CFeedPacketPtr End();
    Counters GetCounters() const { return counters; }

private:
    void StampVideo(const PacketHeader& header, const uint8_t* payload, uint32_t length,
                    int64_t now, std::vector<CFeedPacketPtr>& out);
    void StampAudio(const PacketHeader& header, const uint8_t* payload, uint32_t length,
                    int64_t now, std::vector<CFeedPacketPtr>& out);
    // Sample-count time against arrival, over the recent past.
    void CheckAudioDrift(int64_t now);
    int64_t AudioTime() const;

    std::shared_ptr<const CFeedConnection> connection;
    bool started = false;
    Clock::time_point origin;
    Counters counters;

    int64_t lastVideo = -1;
    std::shared_ptr<const std::vector<uint8_t>> parameterSets;

    // The first valid packet fixes the sound's format for the connection.
    int rateIndex = -1;
    int channelConfig = 0;
    int objectType = 0;
    std::shared_ptr<const std::vector<uint8_t>> audioConfig;
    int64_t audioAnchor = 0;  // time of sample 0 since the last realignment
    int64_t audioSamples = 0; // samples since the anchor
    int64_t lastAudio = -1;
    int64_t audioDebt = 0; // microseconds of sound still to drop
    struct Lateness {
        int64_t at;
        int64_t late; // arrival less sample-count time
    };
    std::deque<Lateness> recent;
    int64_t judgedFrom = 0;
};
