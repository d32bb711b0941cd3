// A stand-in studio for the field unit tests: a plain listener on 127.0.0.1
// that accepts one field unit, records every packet it reads with its arrival
// time, and sends whatever bytes a test gives it.
#pragma once

#include "core/PacketHeader.h"
#include "platform/SocketCompat.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct FieldPacket {
    PacketHeader header;
    std::vector<uint8_t> payload;
    std::chrono::steady_clock::time_point arrival;
};

class FieldListener {
public:
    FieldListener();
    ~FieldListener();
    FieldListener(const FieldListener&) = delete;
    FieldListener& operator=(const FieldListener&) = delete;

    uint16_t Port() const { return port; }
    bool Accept(std::chrono::milliseconds timeout);
    // Reads packets on a thread until the field unit closes, or a header
    // does not carry the field unit's magic.
    void StartReading();
    // True once reading has ended.
    bool WaitForEnd(std::chrono::milliseconds timeout);
    // True once at least count packets have been read.
    bool WaitForPackets(size_t count, std::chrono::milliseconds timeout);
    std::vector<FieldPacket> Packets();
    // Why reading stopped early, if it did.
    std::string Problem();

    bool Send(const void* data, size_t length);
    // Shuts the connection down (both ways) and closes it.
    void CloseConnection();

private:
    void Read();
    bool ReceiveAll(uint8_t* data, size_t length);

    SOCKET listener = INVALID_SOCKET;
    SOCKET connection = INVALID_SOCKET;
    uint16_t port = 0;
    std::thread reader;
    std::atomic<bool> ended{false};
    std::mutex lock;
    std::vector<FieldPacket> packets;
    std::string problem;
};
