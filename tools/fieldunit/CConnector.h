// Finds the studio and connects, retrying while it is not listening yet.
#pragma once

#include "platform/SocketCompat.h"

#include <atomic>
#include <cstdint>
#include <string>

class CConnector {
public:
    CConnector() = default;
    virtual ~CConnector() = default;

    enum class Result { Connected, Unreachable, Stopped };

    // A receive buffer of this many bytes instead of the system's; set
    // before connecting, so that the window offered to the studio is small.
    void SetReceiveBuffer(int bytes) { receiveBuffer = bytes; }

    // Tries until connected, until timeoutSeconds have passed (0: for ever)
    // or until stop is set. On Connected, socket holds the connection.
    Result Connect(const std::string& host, uint16_t port, double timeoutSeconds,
                   const std::atomic<bool>& stop, SOCKET& socket);
    const std::string& Error() const { return error; }

private:
    std::string error;
    int receiveBuffer = 0;
};
