#include "CMetricsEndpoint.h"

#include <CivetServer.h>
#include <prometheus/counter.h>
#include <prometheus/gauge.h>
#include <prometheus/histogram.h>
#include <prometheus/registry.h>
#include <prometheus/text_serializer.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <exception>
#include <vector>

using prometheus::Counter;
using prometheus::Gauge;

namespace {

// From a picture that is on time to one that is far too late.
const prometheus::Histogram::BucketBoundaries kLatencyBuckets{
    0.005, 0.01, 0.02, 0.03, 0.05, 0.075, 0.1, 0.15, 0.2, 0.3, 0.5, 1.0, 2.0};

// A counter that follows a total: it goes up by what the total gained.
struct Follower {
    Counter* counter = nullptr;
    uint64_t published = 0;
    void Follow(uint64_t total) {
        if (total > published)
            counter->Increment(double(total - published));
        published = total;
    }
};

} // namespace

struct CMetricsEndpoint::Series {
    std::shared_ptr<prometheus::Registry> registry = std::make_shared<prometheus::Registry>();
    Gauge* connected;
    Gauge* listening;
    Follower connections, notAllowed, videoBytes, audioBytes, received, decoded, drawn;
    std::array<Follower, CLinkStatistics::kReasons> refused;
    Gauge* audioQueue;
    Gauge* receiveLatency;
    Gauge* receiveLatencyChosen;
    Follower underruns, audioDropped, returnSent, returnDropped;
    prometheus::Histogram* latency;
    // Momentary peak and loudness: direction (programme, return) by channel.
    std::array<std::array<Gauge*, CLevelMeter::kMaxChannels>, 2> peak, loudness;
    std::array<Gauge*, CAlarmPolicy::kKinds> alarm;
    std::array<Follower, CAlarmPolicy::kKinds> alarms;

    Series() {
        auto counter = [&](const char* name, const char* help) -> auto& {
            return prometheus::BuildCounter().Name(name).Help(help).Register(*registry);
        };
        auto gauge = [&](const char* name, const char* help) -> auto& {
            return prometheus::BuildGauge().Name(name).Help(help).Register(*registry);
        };
        connected = &gauge("lumenfeed_connected", "1 while a field unit is connected").Add({});
        listening =
            &gauge("lumenfeed_listening", "1 while the receiver listens for a field unit").Add({});
        connections.counter =
            &counter("lumenfeed_connections_total", "Field unit connections accepted").Add({});
        notAllowed.counter = &counter("lumenfeed_connections_refused_total",
                                      "Connections let go before a byte was read, by reason")
                                  .Add({{"reason", "not_allowed"}});
        auto& bytes = counter("lumenfeed_received_bytes_total",
                              "Payload bytes received from the field unit, headers excluded");
        videoBytes.counter = &bytes.Add({{"stream", "video"}});
        audioBytes.counter = &bytes.Add({{"stream", "audio"}});
        auto& frames = counter("lumenfeed_video_frames_total",
                               "Pictures received, decoded and drawn on the screen");
        received.counter = &frames.Add({{"stage", "received"}});
        decoded.counter = &frames.Add({{"stage", "decoded"}});
        drawn.counter = &frames.Add({{"stage", "drawn"}});
        auto& refusals =
            counter("lumenfeed_packets_refused_total", "Packets from the field unit refused");
        for (int r = 0; r < CLinkStatistics::kReasons; ++r)
            refused[size_t(r)].counter =
                &refusals.Add({{"reason", CLinkStatistics::ReasonName(r)}});
        audioQueue =
            &gauge("lumenfeed_audio_queue_seconds", "Programme sound queued on the output device")
                 .Add({});
        receiveLatency = &gauge("lumenfeed_receive_latency_seconds",
                                "The latency the programme sound is held at now, the output "
                                "device's buffer included")
                              .Add({});
        receiveLatencyChosen = &gauge("lumenfeed_receive_latency_chosen_seconds",
                                      "The receive latency the operator chose; 0 for Auto")
                                    .Add({});
        underruns.counter = &counter("lumenfeed_audio_underruns_total",
                                     "Times the output device ran dry while playing")
                                 .Add({});
        audioDropped.counter =
            &counter("lumenfeed_audio_packets_dropped_total", "Programme sound packets not played")
                 .Add({});
        auto& returned =
            counter("lumenfeed_return_packets_total", "Return sound packets for the field unit");
        returnSent.counter = &returned.Add({{"result", "sent"}});
        returnDropped.counter = &returned.Add({{"result", "dropped"}});
        latency = &prometheus::BuildHistogram()
                       .Name("lumenfeed_picture_latency_seconds")
                       .Help("From the last byte of a picture's packet to the picture handed to "
                             "the screen")
                       .Register(*registry)
                       .Add({}, kLatencyBuckets);
        auto& levels = gauge("lumenfeed_audio_level_dbfs",
                             "Sample peak of the last 400 ms; -120 for silence or no sound");
        auto& loudnesses = gauge("lumenfeed_audio_loudness_lufs",
                                 "Momentary loudness (EBU R128, 400 ms) of each channel as dual "
                                 "mono; -120 for silence or no sound");
        const char* directions[] = {"programme", "return"};
        for (size_t d = 0; d < 2; ++d) {
            for (size_t c = 0; c < CLevelMeter::kMaxChannels; ++c) {
                prometheus::Labels labels{{"direction", directions[d]},
                                          {"channel", std::to_string(c)}};
                peak[d][c] = &levels.Add(labels);
                loudness[d][c] = &loudnesses.Add(labels);
            }
        }
        auto& on = gauge("lumenfeed_alarm", "1 while the alarm is on");
        auto& started = counter("lumenfeed_alarms_total", "Times the alarm came on");
        for (int k = 0; k < CAlarmPolicy::kKinds; ++k) {
            const prometheus::Labels labels{{"kind", CAlarmPolicy::KindName(k)}};
            alarm[size_t(k)] = &on.Add(labels);
            alarms[size_t(k)].counter = &started.Add(labels);
        }
    }

    void Levels(size_t direction, const CLevelMeter::Reading& reading) {
        for (size_t c = 0; c < CLevelMeter::kMaxChannels; ++c) {
            // Mono is heard on both sides.
            const size_t from = reading.channels == 1 ? 0 : c;
            CLevelMeter::Channel level;
            if (reading.live && from < size_t(reading.channels))
                level = reading.channel[from];
            peak[direction][c]->Set(level.peak);
            loudness[direction][c]->Set(level.loudness);
        }
    }
};

// Answers one path; anything else the server answers itself (404).
class CMetricsEndpoint::Handler : public CivetHandler {
public:
    Handler(const CMetricsEndpoint& endpoint, bool health) : endpoint(endpoint), health(health) {}

    bool handleGet(CivetServer*, mg_connection* connection) override {
        int status = 200;
        const std::string body = health ? endpoint.HealthAnswer(status) : endpoint.MetricsText();
        const char* type = health ? "application/json" : "text/plain; version=0.0.4; charset=utf-8";
        mg_printf(connection,
                  "HTTP/1.1 %d %s\r\nContent-Type: %s\r\nContent-Length: %zu\r\n"
                  "Cache-Control: no-store\r\nConnection: close\r\n\r\n",
                  status, status == 200 ? "OK" : "Service Unavailable", type, body.size());
        mg_write(connection, body.data(), body.size());
        return true;
    }

private:
    const CMetricsEndpoint& endpoint;
    const bool health;
};

namespace {

// A JSON string: quotes, backslashes and control characters escaped.
std::string JsonString(const std::string& text) {
    std::string quoted = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            quoted += '\\';
            quoted += char(c);
        } else if (c < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            quoted += escaped;
        } else {
            quoted += char(c);
        }
    }
    return quoted + "\"";
}

} // namespace

CMetricsEndpoint::CMetricsEndpoint()
    : series(std::make_unique<Series>()), metricsHandler(std::make_unique<Handler>(*this, false)),
      healthHandler(std::make_unique<Handler>(*this, true)) {}

CMetricsEndpoint::~CMetricsEndpoint() {
    Close();
}

bool CMetricsEndpoint::Open(const std::string& address, uint16_t port, std::string& problem) {
    Close();
    std::string host = address.empty() ? std::string(kDefaultAddress) : address;
    if (host.find(':') != std::string::npos && host.front() != '[')
        host = "[" + host + "]";
    const std::string where = host + ":" + std::to_string(port);
    try {
        // Two threads answer; a client that sends nothing is let go after a
        // few seconds, so that none can hold them.
        server = std::make_unique<CivetServer>(
            std::vector<std::string>{"listening_ports", where, "num_threads", "2",
                                     "request_timeout_ms", "5000", "enable_keep_alive", "no"});
        server->addHandler("/metrics", metricsHandler.get());
        server->addHandler("/health", healthHandler.get());
    } catch (const std::exception& e) {
        server.reset();
        problem = "cannot serve metrics on " + where + ": " + e.what();
        return false;
    }
    return true;
}

void CMetricsEndpoint::Close() {
    server.reset();
}

uint16_t CMetricsEndpoint::Port() const {
    if (!server)
        return 0;
    std::vector<int> ports = server->getListeningPorts();
    return ports.empty() ? 0 : uint16_t(ports.front());
}

void CMetricsEndpoint::SetInstance(const std::string& name) {
    std::lock_guard guard(lock);
    instance = name;
}

const char* CMetricsEndpoint::StateName(State state) {
    switch (state) {
    case State::kConnected:
        return "connected";
    case State::kListening:
        return "listening";
    case State::kNotListening:
        return "not_listening";
    case State::kStopped:
    default:
        return "stopped";
    }
}

std::string CMetricsEndpoint::MetricsText() const {
    std::vector<prometheus::MetricFamily> families = series->registry->Collect();
    std::string name;
    {
        std::lock_guard guard(lock);
        name = instance;
    }
    // Added where the figures are written out, so that every series has it,
    // whoever registered it.
    if (!name.empty())
        for (prometheus::MetricFamily& family : families)
            for (prometheus::ClientMetric& metric : family.metric) {
                // In order of name, as the other labels are.
                auto at = std::find_if(metric.label.begin(), metric.label.end(),
                                       [](const auto& l) { return l.name > kInstanceLabel; });
                metric.label.insert(at, {kInstanceLabel, name});
            }
    return prometheus::TextSerializer().Serialize(families);
}

std::string CMetricsEndpoint::HealthAnswer(int& status) const {
    std::lock_guard guard(lock);
    status = state == State::kConnected || state == State::kListening ? 200 : 503;
    long seconds = 0;
    if (state == State::kConnected)
        seconds = long(std::floor(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - connectedSince)
                .count()));
    std::string body = "{\"state\":\"" + std::string(StateName(state)) +
                       "\",\"peer\":" + JsonString(peer) +
                       ",\"connected_seconds\":" + std::to_string(seconds);
    if (!instance.empty())
        body += ",\"instance\":" + JsonString(instance);
    return body + "}\n";
}

void CMetricsEndpoint::Publish(const CLinkStatistics& statistics) {
    const CLinkStatistics::Totals& t = statistics.GetTotals();
    const CLinkStatistics::Snapshot& s = statistics.Latest();
    Series& m = *series;
    m.connected->Set(t.connected ? 1 : 0);
    m.listening->Set(s.listening ? 1 : 0);
    m.connections.Follow(t.connections);
    m.notAllowed.Follow(t.connectionsRefused);
    m.videoBytes.Follow(t.videoBytes);
    m.audioBytes.Follow(t.audioBytes);
    m.received.Follow(t.picturesReceived);
    m.decoded.Follow(t.picturesDecoded);
    m.drawn.Follow(t.picturesDrawn);
    for (size_t r = 0; r < m.refused.size(); ++r)
        m.refused[r].Follow(t.refused[r]);
    m.audioQueue->Set(s.audioQueuedMs / 1000.0);
    m.receiveLatency->Set(s.latencyTargetMs / 1000.0);
    m.receiveLatencyChosen->Set(s.receiveLatencyMs / 1000.0);
    m.underruns.Follow(t.underruns);
    m.audioDropped.Follow(t.audioDropped);
    m.returnSent.Follow(t.returnSent);
    m.returnDropped.Follow(t.returnDropped);
    for (double seconds : statistics.FreshLatencies())
        m.latency->Observe(seconds);
    m.Levels(0, s.programme);
    m.Levels(1, s.returned);
    for (int k = 0; k < CAlarmPolicy::kKinds; ++k) {
        m.alarm[size_t(k)]->Set(statistics.Alarms().Active(k) ? 1 : 0);
        m.alarms[size_t(k)].Follow(statistics.Alarms().Count(k));
    }

    std::lock_guard guard(lock);
    state = !s.running    ? State::kStopped
            : s.connected ? State::kConnected
            : s.listening ? State::kListening
                          : State::kNotListening;
    peer = s.connected ? s.peer : std::string();
    connectedSince = std::chrono::steady_clock::now() -
                     std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                         std::chrono::duration<double>(s.connectedSeconds));
}
