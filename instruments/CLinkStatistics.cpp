#include "CLinkStatistics.h"

#include <algorithm>

namespace {

// The value below which the share q of the values lie (nearest rank).
double Quantile(std::vector<double> values, double q) {
    size_t k = std::min(values.size() - 1, size_t(q * double(values.size())));
    std::nth_element(values.begin(), values.begin() + std::ptrdiff_t(k), values.end());
    return values[k];
}

// The loudest channel's peak; the floor when the sound has stopped coming.
float Loudest(const CLevelMeter::Reading& reading) {
    float loudest = CLevelMeter::kFloor;
    if (reading.live)
        for (int32_t c = 0; c < reading.channels && c < CLevelMeter::kMaxChannels; ++c)
            loudest = std::max(loudest, reading.channel[size_t(c)].peak);
    return loudest;
}

} // namespace

const char* CLinkStatistics::ReasonName(int reason) {
    switch (reason) {
    case kUnknownType:
        return "unknown_type";
    case kBadHeader:
        return "bad_header";
    case kNotDecoded:
        return "video_not_decoded";
    case kVideoQueueFull:
        return "video_queue_full";
    default:
        return "other";
    }
}

void CLinkStatistics::Source::AddTo(uint64_t& total, uint64_t now) {
    total += now >= last ? now - last : now;
    last = now;
}

void CLinkStatistics::Sample(CGateway* gateway, const Display& display, Clock::time_point now) {
    if (gateway != attached) {
        attached = gateway;
        sources = {};
    }
    latest = {};
    freshLatencies.clear();
    if (gateway) {
        const CGateway::Traffic traffic = gateway->GetTraffic();
        const CAudioRenderer::Counters audio = gateway->AudioCounters();
        const CNetwork::Counters returned = gateway->ReturnTotals();
        sources.connections.AddTo(totals.connections, gateway->ConnectionsServed());
        sources.connectionsRefused.AddTo(totals.connectionsRefused, gateway->ConnectionsRefused());
        sources.videoBytes.AddTo(totals.videoBytes, traffic.videoBytes);
        sources.audioBytes.AddTo(totals.audioBytes, traffic.audioBytes);
        sources.received.AddTo(totals.picturesReceived, traffic.videoPackets);
        sources.decoded.AddTo(totals.picturesDecoded, gateway->VideoCounters().pictures);
        sources.refused[kUnknownType].AddTo(totals.refused[kUnknownType],
                                            traffic.refused[CGateway::kRefusedUnknownType]);
        sources.refused[kBadHeader].AddTo(totals.refused[kBadHeader],
                                          traffic.refused[CGateway::kRefusedBadHeader]);
        sources.refused[kNotDecoded].AddTo(totals.refused[kNotDecoded],
                                           traffic.refused[CGateway::kRefusedNotDecoded]);
        sources.refused[kVideoQueueFull].AddTo(totals.refused[kVideoQueueFull],
                                               gateway->VideoQueueCounters().dropped);
        sources.underruns.AddTo(totals.underruns, audio.underruns);
        sources.audioDropped.AddTo(totals.audioDropped, audio.dropped);
        sources.returnSent.AddTo(totals.returnSent, returned.packetsSent);
        sources.returnDropped.AddTo(totals.returnDropped, returned.packetsDropped);

        const CGateway::Peer peer = gateway->ConnectedPeer();
        latest.running = true;
        latest.listening = gateway->Listening();
        latest.connected = !peer.address.empty();
        latest.peer = peer.address;
        if (latest.connected)
            latest.connectedSeconds = std::chrono::duration<double>(now - peer.since).count();
        latest.audioQueuedMs = audio.latencyMicros / 1000.0;
        latest.pictureHoldMs = double(gateway->HoldBackMicros()) / 1000.0;
        latest.receiveLatencyMs = gateway->ReceiveLatencyMs();
        latest.latencyTargetMs = audio.targetMicros / 1000.0;
        const CNetwork::Counters connection = gateway->ReturnCounters();
        latest.returnSent = connection.packetsSent;
        latest.returnDropped = connection.packetsDropped;
        latest.programme = gateway->ProgrammeMeter().Read(now);
        latest.returned = gateway->ReturnMeter().Read(now);

        timings.clear();
        sources.timingsSeen = gateway->PictureTimings(sources.timingsSeen, timings);
        std::vector<double> draws;
        draws.reserve(timings.size());
        for (const CGateway::PictureTiming& t : timings) {
            draws.push_back(t.drawMicros / 1000.0);
            if (t.latencyMicros != CGateway::PictureTiming::kUnknown)
                freshLatencies.push_back(t.latencyMicros / 1e6);
        }
        if (!draws.empty())
            latest.decodeMedianMs = Quantile(draws, 0.5);
        if (!freshLatencies.empty()) {
            std::vector<double> ms(freshLatencies);
            for (double& v : ms)
                v *= 1000.0;
            latest.latencyMedianMs = Quantile(ms, 0.5);
            latest.latencyP95Ms = Quantile(ms, 0.95);
        }
    }
    presented.AddTo(totals.picturesPresented, display.presented);
    painted.AddTo(totals.picturesDrawn, display.painted);
    totals.connected = latest.connected;

    if (sampledAt && now > *sampledAt) {
        const double seconds = std::chrono::duration<double>(now - *sampledAt).count();
        auto rate = [&](uint64_t Totals::*count) {
            return double(totals.*count - before.*count) / seconds;
        };
        latest.videoKbps = rate(&Totals::videoBytes) * 8 / 1000;
        latest.audioKbps = rate(&Totals::audioBytes) * 8 / 1000;
        latest.receivedPerSecond = rate(&Totals::picturesReceived);
        latest.decodedPerSecond = rate(&Totals::picturesDecoded);
        latest.drawnPerSecond = rate(&Totals::picturesDrawn);
        latest.displayDroppedPerSecond =
            std::max(0.0, rate(&Totals::picturesPresented) - latest.drawnPerSecond);
    }
    sampledAt = now;
    before = totals;
}

std::vector<CAlarmPolicy::Change> CLinkStatistics::WatchAlarms(const CGateway* gateway,
                                                               Clock::time_point now) {
    CAlarmPolicy::Observation o;
    if (gateway) {
        const CGateway::Peer peer = gateway->ConnectedPeer();
        o.connected = !peer.address.empty();
        o.since = peer.since;
        const CPictureMeter::Reading picture = gateway->PictureMeter().Read();
        o.pictureChanged = picture.changed;
        o.darkSince = picture.darkSince;
        o.programmeDb = Loudest(gateway->ProgrammeMeter().Read(now));
        o.returnChosen = gateway->ReturnChosen();
        o.returnDb = Loudest(gateway->ReturnMeter().Read(now));
    }
    return alarms.Evaluate(o, now);
}
