// The link's figures for monitoring: the Prometheus text format served over
// HTTP at /metrics, and the receiver's state for health checks at /health,
// on 127.0.0.1 unless told otherwise. The server runs on threads of its own;
// a request it cannot take gets an HTTP error there and never reaches the
// link. Series count over the life of the process.
#pragma once

#include "instruments/CLinkStatistics.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

class CivetServer;

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

    // Brings every series and the health answer up to the statistics'
    // latest sample.
    void Publish(const CLinkStatistics& statistics);

    // Where several receivers are watched, each names itself: every series
    // then carries the label kInstanceLabel with this name, and the health
    // answer the name. Empty for none. Not "instance": the monitoring system
    // gives every series it scrapes that label itself, naming the address
    // it scraped, and would rename ours out of the way.
    void SetInstance(const std::string& name);
    static constexpr char kInstanceLabel[] = "instance_name";

    // The receiver's state as /health tells it: served (200) while it
    // listens or a field unit is connected, not (503) while stopped or
    // failing to listen.
    enum class State { kStopped, kNotListening, kListening, kConnected };
    static const char* StateName(State state);
    // The one-line JSON body of /health and whether it is served.
    std::string HealthAnswer(int& status) const;

private:
    struct Series;
    class Handler;
    std::string MetricsText() const;

    std::unique_ptr<Series> series;
    // Read by the server's threads, written by the publishing one.
    mutable std::mutex lock;
    std::string instance;
    State state = State::kStopped;
    std::string peer;
    std::chrono::steady_clock::time_point connectedSince;

    std::unique_ptr<Handler> metricsHandler, healthHandler;
    std::unique_ptr<CivetServer> server;
};
