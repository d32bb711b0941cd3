// Reads the studio's return audio on a thread of its own, as a field unit
// does: whole packets from a connected socket, until the studio closes the
// connection, a header is not return audio, or the reader is destroyed. The
// socket stays its owner's.
#pragma once

#include "core/PacketHeader.h"
#include "platform/SocketCompat.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <thread>
#include <vector>

namespace media {

class CReturnReader {
public:
    using Clock = std::chrono::steady_clock;
    // Called on the reader's thread for every whole packet.
    using Handler =
        std::function<void(const PacketHeader& header, const uint8_t* payload, size_t length)>;

    explicit CReturnReader(SOCKET socket, Handler onPacket = {});
    virtual ~CReturnReader();
    CReturnReader(const CReturnReader&) = delete;
    CReturnReader& operator=(const CReturnReader&) = delete;

    uint64_t Packets() const { return packets; }
    // A header that is not return audio ended the reading.
    bool Broken() const { return broken; }
    // The studio ended the connection.
    bool Closed() const { return closed; }
    Clock::time_point ClosedAt() const { return Clock::time_point(Clock::duration(closedAt)); }
    Clock::time_point FirstPacketAt() const {
        return Clock::time_point(Clock::duration(firstPacketAt));
    }

private:
    bool ReceiveAll(uint8_t* data, size_t length);
    void Run();

    SOCKET sock;
    Handler onPacket;
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> packets{0};
    std::atomic<bool> broken{false};
    std::atomic<bool> closed{false};
    std::atomic<Clock::rep> closedAt{0}, firstPacketAt{0};
    std::thread thread;
};

} // namespace media
