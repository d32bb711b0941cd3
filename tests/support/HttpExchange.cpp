#include "HttpExchange.h"

#include "TestClient.h"

#include <poll.h>

#include <cstdlib>
#include <sstream>

namespace testing_support {

HttpAnswer HttpExchange(uint16_t port, const std::string& request,
                        std::chrono::milliseconds timeout) {
    HttpAnswer answer;
    TestClient client;
    if (!client.Connect(port, timeout) || !client.SendBytes(request.data(), request.size()))
        return answer;
    std::string text;
    const auto end = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        pollfd p{client.Handle(), POLLIN, 0};
        if (left.count() <= 0 || poll(&p, 1, int(left.count())) <= 0)
            break;
        char buffer[16384];
        long got = recv(client.Handle(), buffer, sizeof buffer, 0);
        if (got <= 0)
            break;
        text.append(buffer, size_t(got));
    }
    // "HTTP/1.1 200 OK"
    if (text.rfind("HTTP/", 0) == 0 && text.size() > 12)
        answer.status = std::atoi(text.c_str() + text.find(' ') + 1);
    size_t body = text.find("\r\n\r\n");
    if (body != std::string::npos)
        answer.body = text.substr(body + 4);
    return answer;
}

HttpAnswer HttpGet(uint16_t port, const std::string& path) {
    return HttpExchange(port, "GET " + path +
                                  " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
}

std::optional<double> MetricValue(const std::string& text, const std::string& series) {
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.size() > series.size() && line.compare(0, series.size(), series) == 0 &&
            line[series.size()] == ' ')
            return std::strtod(line.c_str() + series.size() + 1, nullptr);
    }
    return std::nullopt;
}

} // namespace testing_support
