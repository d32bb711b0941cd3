// A plain HTTP client for tests and benchmarks of the metrics endpoint: the
// request is written exactly as given, so that malformed ones can be sent
// too, and the answer read until the server closes.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace testing_support {

struct HttpAnswer {
    int status = 0; // 0 when no status line came
    std::string body;
};

// Connects to 127.0.0.1:port, writes request and reads the answer.
HttpAnswer HttpExchange(uint16_t port, const std::string& request,
                        std::chrono::milliseconds timeout = std::chrono::seconds(5));
// GET path with HTTP/1.1 and Connection: close.
HttpAnswer HttpGet(uint16_t port, const std::string& path = "/metrics");

// The value of one series of a Prometheus text answer, named with its labels
// exactly as the endpoint writes them: lumenfeed_connected, or
// lumenfeed_video_frames_total{stage="drawn"}.
std::optional<double> MetricValue(const std::string& text, const std::string& series);

} // namespace testing_support
