// One picture or one AAC frame of the feed, as received, with the time the
// studio gives it. Shared, never changed, by every writer it is handed to.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// A field unit's connection, as the writers name and separate their outputs.
struct CFeedConnection {
    uint32_t serial = 0;
    std::string peer; // "a.b.c.d:port"
    std::chrono::system_clock::time_point started;
};

struct CFeedPacket {
    enum class Kind { Video, Audio, End };

    Kind kind = Kind::End;
    std::shared_ptr<const CFeedConnection> connection;
    // Microseconds from the connection's first packet; strictly increasing
    // per kind within a connection.
    int64_t time = 0;
    int64_t duration = 0; // audio only
    std::vector<uint8_t> data;

    // Video: one access unit in Annex B form; key when decoding can start at
    // it (an IDR picture, or a recovery point).
    bool key = false;
    int width = 0;
    int height = 0;
    // SPS and PPS of the latest key frame that carried them, behind start
    // codes; shared by the pictures that follow it.
    std::shared_ptr<const std::vector<uint8_t>> parameterSets;

    // Audio: one ADTS frame, header included.
    int sampleRate = 0;
    int channels = 0;
    size_t headerLength = 0;
    int blocks = 0;
    // The AudioSpecificConfig of the stream.
    std::shared_ptr<const std::vector<uint8_t>> audioConfig;
};

using CFeedPacketPtr = std::shared_ptr<const CFeedPacket>;
