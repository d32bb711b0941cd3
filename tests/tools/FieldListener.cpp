#include "FieldListener.h"

#include <poll.h>

FieldListener::FieldListener() {
    listener = ::socket(AF_INET, SOCK_STREAM, 0);
    platform::SetReuseAddress(listener);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a);
    listen(listener, 4);
    socklen_t len = sizeof a;
    getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
}

FieldListener::~FieldListener() {
    CloseConnection();
    if (listener != INVALID_SOCKET)
        closesocket(listener);
}

bool FieldListener::Accept(std::chrono::milliseconds timeout) {
    pollfd pfd{listener, POLLIN, 0};
    if (poll(&pfd, 1, int(timeout.count())) <= 0)
        return false;
    connection = accept(listener, nullptr, nullptr);
    return connection != INVALID_SOCKET;
}

void FieldListener::StartReading() {
    reader = std::thread([this] { Read(); });
}

bool FieldListener::ReceiveAll(uint8_t* data, size_t length) {
    while (length > 0) {
        auto got = recv(connection, data, length, 0);
        if (got <= 0)
            return false;
        data += got;
        length -= size_t(got);
    }
    return true;
}

void FieldListener::Read() {
    for (;;) {
        FieldPacket p;
        if (!ReceiveAll(p.header.bytes, sizeof p.header.bytes))
            break;
        if (p.header.Magic() != kFieldUnitMagic) {
            std::lock_guard guard(lock);
            problem = "bad magic";
            break;
        }
        p.payload.resize(p.header.PayloadLength());
        if (!ReceiveAll(p.payload.data(), p.payload.size())) {
            std::lock_guard guard(lock);
            problem = "payload cut short";
            break;
        }
        p.arrival = std::chrono::steady_clock::now();
        std::lock_guard guard(lock);
        packets.push_back(std::move(p));
    }
    ended = true;
}

bool FieldListener::WaitForEnd(std::chrono::milliseconds timeout) {
    auto until = std::chrono::steady_clock::now() + timeout;
    while (!ended) {
        if (std::chrono::steady_clock::now() > until)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

bool FieldListener::WaitForPackets(size_t count, std::chrono::milliseconds timeout) {
    auto until = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        {
            std::lock_guard guard(lock);
            if (packets.size() >= count)
                return true;
        }
        if (ended || std::chrono::steady_clock::now() > until)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

std::vector<FieldPacket> FieldListener::Packets() {
    std::lock_guard guard(lock);
    return packets;
}

std::string FieldListener::Problem() {
    std::lock_guard guard(lock);
    return problem;
}

bool FieldListener::Send(const void* data, size_t length) {
    return platform::SendAll(connection, data, length);
}

void FieldListener::CloseConnection() {
    if (connection != INVALID_SOCKET)
        shutdown(connection, SD_BOTH);
    if (reader.joinable())
        reader.join();
    if (connection != INVALID_SOCKET)
        closesocket(connection);
    connection = INVALID_SOCKET;
}
