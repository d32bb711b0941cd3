// Whoever keeps or passes on the feed (a recording, a re-publication) sees
// each connection's start and end and every packet as it arrived, on the
// stream server's worker thread. A tap must never wait there: it copies what
// it wants into a queue of its own and returns.
#pragma once

#include "PacketHeader.h"

#include <chrono>
#include <cstdint>
#include <string>

class CPacketTap {
public:
    virtual ~CPacketTap() = default;
    // peer: the field unit's address as "a.b.c.d:port".
    virtual void ConnectionStarted(const std::string& peer) = 0;
    // Every whole packet, before it is decoded; payload is valid only for the
    // duration of the call. arrival: when its last byte came in.
    virtual void PacketArrived(const PacketHeader& header, const uint8_t* payload,
                               uint32_t length, std::chrono::steady_clock::time_point arrival) = 0;
    virtual void ConnectionEnded() = 0;
};
