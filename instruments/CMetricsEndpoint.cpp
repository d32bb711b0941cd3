#include "CMetricsEndpoint.h"

#include <prometheus/counter.h>
#include <prometheus/exposer.h>
#include <prometheus/gauge.h>
#include <prometheus/histogram.h>
#include <prometheus/registry.h>

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
    Follower connections, videoBytes, audioBytes, received, decoded, drawn;
    std::array<Follower, CLinkStatistics::kReasons> refused;
    Gauge* audioQueue;
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
        connections.counter =
            &counter("lumenfeed_connections_total", "Field unit connections accepted").Add({});
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

CMetricsEndpoint::CMetricsEndpoint() : series(std::make_unique<Series>()) {}

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
        exposer = std::make_unique<prometheus::Exposer>(
            std::vector<std::string>{"listening_ports", where, "num_threads", "2",
                                     "request_timeout_ms", "5000", "enable_keep_alive", "no"});
        exposer->RegisterCollectable(series->registry);
    } catch (const std::exception& e) {
        exposer.reset();
        problem = "cannot serve metrics on " + where + ": " + e.what();
        return false;
    }
    return true;
}

void CMetricsEndpoint::Close() {
    exposer.reset();
}

uint16_t CMetricsEndpoint::Port() const {
    if (!exposer)
        return 0;
    std::vector<int> ports = exposer->GetListeningPorts();
    return ports.empty() ? 0 : uint16_t(ports.front());
}

void CMetricsEndpoint::Publish(const CLinkStatistics& statistics) {
    const CLinkStatistics::Totals& t = statistics.GetTotals();
    const CLinkStatistics::Snapshot& s = statistics.Latest();
    Series& m = *series;
    m.connected->Set(t.connected ? 1 : 0);
    m.connections.Follow(t.connections);
    m.videoBytes.Follow(t.videoBytes);
    m.audioBytes.Follow(t.audioBytes);
    m.received.Follow(t.picturesReceived);
    m.decoded.Follow(t.picturesDecoded);
    m.drawn.Follow(t.picturesDrawn);
    for (size_t r = 0; r < m.refused.size(); ++r)
        m.refused[r].Follow(t.refused[r]);
    m.audioQueue->Set(s.audioQueuedMs / 1000.0);
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
}
