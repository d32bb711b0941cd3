// The link's figures for monitoring: the Prometheus text format served over
// HTTP at /metrics, on 127.0.0.1 unless told otherwise. The server runs on
// threads of its own; a request it cannot take gets an HTTP error there and
// never reaches the link. Series count over the life of the process.
#pragma once

#include "instruments/CLinkStatistics.h"

#include <cstdint>
#include <memory>
#include <string>

namespace prometheus {
class Exposer;
}

class CMetricsEndpoint {
public:
    static constexpr char kDefaultAddress[] = "127.0.0.1";

    CMetricsEndpoint();
    virtual ~CMetricsEndpoint();
    CMetricsEndpoint(const CMetricsEndpoint&) = delete;
    CMetricsEndpoint& operator=(const CMetricsEndpoint&) = delete;

    // Listens on address (IPv4, or IPv6 with or without brackets) and port;
    // port 0 lets the system choose. False, with the reason, when it cannot.
    bool Open(const std::string& address, uint16_t port, std::string& problem);
    void Close();
    // The port listened on; 0 while closed.
    uint16_t Port() const;

    // Brings every series up to the statistics' latest sample.
    void Publish(const CLinkStatistics& statistics);

private:
    struct Series;
    std::unique_ptr<Series> series;
    std::unique_ptr<prometheus::Exposer> exposer;
};
