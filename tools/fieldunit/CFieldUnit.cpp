#include "CFieldUnit.h"

#include "CConnector.h"
#include "CFileSource.h"
#include "CLog.h"
#include "CPacer.h"
#include "CReadAhead.h"
#include "CPatternSource.h"
#include "CReturnReceiver.h"
#include "CReturnTone.h"
#include "CStatusLine.h"
#include "CStreamSender.h"
#include "CWavWriter.h"
#include "ExitCodes.h"
#include "core/PacketHeader.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <thread>

namespace {
#if defined(_WIN32)
constexpr int kShutSend = SD_SEND;
#else
constexpr int kShutSend = SHUT_WR;
#endif

// A sound packet at packetUs has just left and the mark at markUs is in it
// or behind it: logs when the mark's own sample left, and when it was made
// (its time on the stream clock, which runs on through a stall of ours), on
// the steady clock that every process here shares ("mark 3 sent at
// 12345.678901 s, made at 12345.678000 s"). Returns the next mark's time.
int64_t LogMarkSent(int64_t packetUs, int64_t markUs, int64_t everyUs, const CPacer& pacer) {
    const auto at = std::chrono::steady_clock::now() - pacer.RealTime(packetUs - markUs);
    const double seconds = std::chrono::duration<double>(at.time_since_epoch()).count();
    const double made = std::chrono::duration<double>(pacer.Due(markUs).time_since_epoch()).count();
    char line[128];
    std::snprintf(line, sizeof line, "mark %lld sent at %.6f s, made at %.6f s",
                  static_cast<long long>(markUs / everyUs), seconds, made);
    CLog::Info(line);
    return (packetUs / everyUs + 1) * everyUs;
}
} // namespace

CFieldUnit::CFieldUnit(const COptions& o) : options(o) {}

int CFieldUnit::Run(const std::atomic<bool>& stop) {
    // The source first: a bad file should fail before we bother the studio.
    std::unique_ptr<CMediaSource> source;
    std::string what;
    if (!options.file.empty()) {
        auto file = std::make_unique<CFileSource>();
        if (!file->Open(options)) {
            CLog::Error(file->LastError());
            return exitcode::kInput;
        }
        what = options.file + " (" + file->Description() + ")";
        source = std::move(file);
    } else {
        auto pattern = std::make_unique<CPatternSource>();
        if (!pattern->Open(options)) {
            CLog::Error(pattern->LastError());
            return exitcode::kInput;
        }
        what = "the test pattern, " + std::to_string(options.width) + "x" +
               std::to_string(options.height) + " at " + std::to_string(options.fps) + " fps, " +
               std::to_string(options.VideoBitrate(options.width, options.height, options.fps) /
                              1000) +
               " kbit/s, and a 1 kHz tone at " + std::to_string(options.audioRate) + " Hz, " +
               std::to_string(options.audioChannels) + " channel(s)";
        // The faults, so that whoever watches the studio knows when to expect its alarms.
        auto from = [](const char* fault, double seconds) {
            std::ostringstream text;
            text << ", " << fault << " from " << seconds << " s";
            return seconds >= 0 ? text.str() : std::string();
        };
        what += from("black", options.blackAfterSeconds) +
                from("frozen", options.freezeAfterSeconds) +
                from("silent", options.muteAfterSeconds) +
                from("all as usual again", options.resumeAfterSeconds);
        source = std::move(pattern);
    }

    // Packets are made ahead of their time, so that they leave on time.
    if (!options.unpaced)
        source = std::make_unique<CReadAhead>(std::move(source));

    CWavWriter wav;
    if (!options.returnAudioPath.empty() && !wav.Open(options.returnAudioPath, 44100, 2)) {
        CLog::Error("cannot create " + options.returnAudioPath);
        return exitcode::kUsage;
    }

    SOCKET sock = INVALID_SOCKET;
    CConnector connector;
    // Return audio that nobody reads soon fills a small buffer, and the
    // studio's sending stalls as it would behind a dead downlink.
    if (options.ignoreReturn)
        connector.SetReceiveBuffer(kIgnoredReceiveBuffer);
    switch (
        connector.Connect(options.host, options.port, options.connectTimeoutSeconds, stop, sock)) {
    case CConnector::Result::Unreachable:
        CLog::Error(connector.Error());
        return exitcode::kUnreachable;
    case CConnector::Result::Stopped:
        return exitcode::kSuccess;
    case CConnector::Result::Connected:
        break;
    }
    std::string pace = options.unpaced ? ", unpaced" : "";
    if (!options.unpaced && options.clockPpm != 0)
        pace = ", paced by a clock " + std::to_string(std::abs(options.clockPpm)) + " ppm " +
               (options.clockPpm > 0 ? "fast" : "slow");
    if (options.stallMs > 0) {
        char stalls[96];
        std::snprintf(stalls, sizeof stalls, ", stalling %d ms every %g s", options.stallMs,
                      options.stallEverySeconds);
        pace += stalls;
        if (options.stallCount > 0)
            pace += " (" + std::to_string(options.stallCount) + " times)";
    }
    CLog::Info("connected to " + options.host + ":" + std::to_string(options.port) + "; sending " +
               what + pace + (options.ignoreReturn ? "; the return audio is not read" : ""));

    CStatusLine status;
    CStreamSender sender(sock, status);
    CReturnReceiver::Settings rs;
    rs.wav = wav.IsOpen() ? &wav : nullptr;
    rs.play = options.playReturn;
    rs.device = options.playDevice;
    std::unique_ptr<CReturnTone> tone;
    if (options.returnToneHz > 0) {
        tone = std::make_unique<CReturnTone>(options.returnToneHz);
        rs.tone = tone.get();
        status.SetReturnTone(tone.get());
    }
    CReturnReceiver receiver(sock, status, rs);
    const bool reading = !options.ignoreReturn;
    if (reading)
        receiver.Start();
    status.Start(CLog::Quiet());

    auto halted = [&] { return stop.load() || receiver.Ended(); };
    const int64_t limitUs =
        options.durationSeconds > 0 ? int64_t(options.durationSeconds * 1e6 + 0.5) : INT64_MAX;
    const int64_t silentUs = options.goSilentAfterSeconds >= 0
                                 ? int64_t(options.goSilentAfterSeconds * 1e6 + 0.5)
                                 : INT64_MAX;
    CPacer pacer(options.clockPpm);
    if (options.stallMs > 0)
        pacer.SetStalls(int64_t(options.stallEverySeconds * 1e6 + 0.5),
                        int64_t(options.stallMs) * 1000, options.stallCount,
                        int64_t(options.stallAfterSeconds * 1e6 + 0.5));
    // Where the tone's timing marks are, in stream time: each one's departure
    // is logged, so that a listener at the far end can tell the studio's own
    // latency from any lateness of ours.
    const int64_t markUs = int64_t(options.toneMarkSeconds * 1e6 + 0.5);
    int64_t nextMarkUs = markUs;
    media::CMediaPacket packet;
    int code = exitcode::kSuccess;
    std::string ending = "stopped";
    bool goSilent = false;
    for (;;) {
        if (halted())
            break;
        auto r = source->Read(packet);
        if (r == CMediaSource::Result::End) {
            ending = "the file ended";
            break;
        }
        if (r == CMediaSource::Result::Error) {
            CLog::Error(source->LastError());
            code = exitcode::kInput;
            break;
        }
        if (packet.timeUs >= limitUs) {
            ending = "the duration was reached";
            break;
        }
        if (packet.timeUs >= silentUs) {
            goSilent = true;
            break;
        }
        if (!options.unpaced && !pacer.Wait(packet.timeUs, halted))
            break;
        auto sent = sender.Send(packet, halted);
        if (sent == CStreamSender::Result::Broken) {
            CLog::Error(sender.Error());
            code = exitcode::kBroken;
            break;
        }
        if (sent == CStreamSender::Result::Stopped)
            break;
        if (sent == CStreamSender::Result::Sent) {
            if (packet.type == kPacketAudio && markUs > 0 && packet.timeUs >= nextMarkUs)
                nextMarkUs = LogMarkSent(packet.timeUs, nextMarkUs, markUs, pacer);
            if (packet.type == kPacketVideo)
                status.CountVideo(packet.data.size() + sizeof(PacketHeader));
            else
                status.CountAudio(packet.data.size() + sizeof(PacketHeader));
        }
        if (sender.TakeResumed())
            pacer.Restart();
    }

    if (goSilent) {
        // Gone quiet but still there: the connection stays open and the
        // return audio is still read, until the rest of the duration has
        // passed on our clock, or a stop.
        CLog::Info("going silent: sending nothing more, the connection stays open");
        status.SetSilent(true);
        using Clock = std::chrono::steady_clock;
        const auto end = limitUs == INT64_MAX ? Clock::time_point::max()
                                              : Clock::now() + pacer.RealTime(limitUs - silentUs);
        while (!halted() && Clock::now() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (!halted())
            ending = "the duration was reached";
    }
    if (tone)
        tone->Stop();

    // An orderly end: say we are done, let the studio read the rest and close
    // its end, then make sure the receiver lets go.
    receiver.ExpectClose();
    shutdown(sock, kShutSend);
    if (reading) {
        auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(kCloseGraceMs);
        while (!receiver.Ended() && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        platform::Wake(sock);
        receiver.Join();
    }
    closesocket(sock);
    status.Stop();
    wav.Close();

    switch (receiver.Result()) {
    case CReturnReceiver::Outcome::BadPacket:
        CLog::Error(receiver.Error());
        code = exitcode::kBadReturn;
        break;
    case CReturnReceiver::Outcome::Broken:
        if (code == exitcode::kSuccess) {
            CLog::Error(receiver.Error());
            code = exitcode::kBroken;
        }
        break;
    default:
        break;
    }
    if (code == exitcode::kSuccess)
        CLog::Info("done: " + ending);
    CLog::Info(status.Totals());
    if (!options.unpaced)
        CLog::Info("pacing: " + std::to_string(pacer.LateCount()) + " packets left more than " +
                   std::to_string(CPacer::kLateUs / 1000) + " ms late, the latest by " +
                   std::to_string(pacer.LatestUs() / 1000) + " ms");
    if (tone) {
        CLog::Info(tone->Summary());
        if (std::string times = tone->EventTimes(); !times.empty())
            CLog::Info(times);
    }
    return code;
}
