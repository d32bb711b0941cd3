// The figures of the link for the operator's overlay and the metrics
// endpoint, sampled from the running stream server and the display about
// once a second. Totals count over the life of the process: the server of a
// new session adds to what the earlier ones counted. One thread samples and
// reads (the window's).
#pragma once

#include "gateway/CGateway.h"
#include "instruments/CAlarmPolicy.h"
#include "levels/CLevelMeter.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

class CLinkStatistics {
public:
    using Clock = std::chrono::steady_clock;

    // Packets refused, by reason; the names are the metrics' labels.
    enum Reason { kUnknownType, kBadHeader, kNotDecoded, kVideoQueueFull, kReasons };
    static const char* ReasonName(int reason);

    // What the display took up: pictures handed to its windows and pictures
    // they painted, summed over the windows, over the process's life.
    struct Display {
        uint64_t presented = 0;
        uint64_t painted = 0;
    };

    struct Totals {
        bool connected = false;
        uint64_t connections = 0;
        // Let go at once: their address is not allowed.
        uint64_t connectionsRefused = 0;
        uint64_t videoBytes = 0, audioBytes = 0; // payloads
        uint64_t picturesReceived = 0, picturesDecoded = 0, picturesDrawn = 0;
        uint64_t picturesPresented = 0;
        std::array<uint64_t, kReasons> refused{};
        uint64_t underruns = 0, audioDropped = 0;
        uint64_t returnSent = 0, returnDropped = 0;
    };

    struct Snapshot {
        // A session runs; its server listens; a field unit is connected.
        bool running = false;
        bool listening = false;
        bool connected = false;
        std::string peer;
        double connectedSeconds = 0;
        // Over the time since the sample before.
        double videoKbps = 0, audioKbps = 0;
        double receivedPerSecond = 0, decodedPerSecond = 0, drawnPerSecond = 0;
        double displayDroppedPerSecond = 0;
        // Of the pictures drawn since the sample before; none when there were none.
        std::optional<double> decodeMedianMs, latencyMedianMs, latencyP95Ms;
        double audioQueuedMs = 0;
        double pictureHoldMs = 0;
        // The receive latency chosen (0: adaptive) and the one the sound is
        // held at now.
        int receiveLatencyMs = 0;
        double latencyTargetMs = 0;
        // This connection's return audio.
        uint64_t returnSent = 0, returnDropped = 0;
        CLevelMeter::Reading programme, returned;
    };

    // gateway may be null (no session). A different server than the one
    // before starts from zero and adds to the totals; so that one made where
    // an old one was counts as new, a server is sampled a last time before
    // it is destroyed and then null.
    void Sample(CGateway* gateway, const Display& display, Clock::time_point now = Clock::now());

    const Totals& GetTotals() const { return totals; }
    const Snapshot& Latest() const { return latest; }
    // Last byte received to picture handed to the window, in seconds, of the
    // pictures drawn since the sample before.
    const std::vector<double>& FreshLatencies() const { return freshLatencies; }

    // Evaluates the alarms against the server (null: no session) at now;
    // the alarms that started or ended. Called more often than Sample: the
    // sound meters it reads look back only a few hundred milliseconds.
    std::vector<CAlarmPolicy::Change> WatchAlarms(const CGateway* gateway,
                                                  Clock::time_point now = Clock::now());
    CAlarmPolicy& Alarms() { return alarms; }
    const CAlarmPolicy& Alarms() const { return alarms; }

private:
    // A count of the server's that adds to a total, whatever it started from;
    // one that went down (a device reopened) starts again from zero.
    struct Source {
        uint64_t last = 0;
        void AddTo(uint64_t& total, uint64_t now);
    };
    struct Sources {
        Source connections, connectionsRefused, videoBytes, audioBytes, received, decoded;
        std::array<Source, kReasons> refused;
        Source underruns, audioDropped, returnSent, returnDropped;
        uint64_t timingsSeen = 0;
    };

    const CGateway* attached = nullptr;
    Sources sources;
    Source presented, painted;
    Totals totals;
    Totals before; // at the sample before
    std::optional<Clock::time_point> sampledAt;
    Snapshot latest;
    std::vector<CGateway::PictureTiming> timings;
    std::vector<double> freshLatencies;
    CAlarmPolicy alarms;
};
