// Keeps and passes on the feed: the stream server hands it every connection
// and packet as it arrived; it gives them their times and hands them to the
// recorder and to each publisher, each behind its own queue, so that nothing
// written or sent ever holds up the link.
#pragma once

#include "CAvFormat.h"
#include "CFeedStamper.h"
#include "CFeedWriter.h"
#include "core/CErrorLine.h"
#include "core/CPacketTap.h"

#include <memory>
#include <mutex>
#include <string>
#include <vector>

struct SessionContext;
class CRecorder;
class CPublisher;

class CFeedTap : public CPacketTap {
public:
    struct Target {
        std::string where; // folder or address
        CFeedWriter::Status status;
    };

    // Messages go to the session's error line. Loads libavformat at once.
    explicit CFeedTap(SessionContext* session);
    ~CFeedTap() override;
    CFeedTap(const CFeedTap&) = delete;
    CFeedTap& operator=(const CFeedTap&) = delete;

    // False, with a message, when libavformat cannot be had.
    bool Available() const { return av.Loaded(); }

    // GUI thread. Every connection from now on is recorded into folder,
    // the current one from its next key frame.
    bool StartRecording(const std::string& folder);
    void StopRecording();
    // True while recording has not been stopped or given up.
    bool Recording();
    // The addresses published to from now on: new ones are begun, missing
    // ones ended.
    void SetPublishTargets(const std::vector<std::string>& urls);

    // Nothing when not recording.
    std::vector<Target> RecordingStatus();
    std::vector<Target> PublishStatus();
    CFeedStamper::Counters StamperCounters();

    // The stream server's worker thread.
    void ConnectionStarted(const std::string& peer) override;
    void PacketArrived(const PacketHeader& header, const uint8_t* payload, uint32_t length,
                       std::chrono::steady_clock::time_point arrival) override;
    void ConnectionEnded() override;

private:
    void Report(const std::string& text,
                CErrorLine::Level level = CErrorLine::Level::kWarning);
    // Says once why nothing can be recorded or published.
    bool CheckAvailable();
    void Hand(const CFeedPacketPtr& packet);

    SessionContext* session;
    CAvFormat av;
    bool unavailableReported = false;

    // Worker thread only.
    CFeedStamper stamper;
    std::vector<CFeedPacketPtr> stamped;
    uint32_t serial = 0;

    // Guards the writers' lists and the connection a new writer joins.
    std::mutex lock;
    std::shared_ptr<CRecorder> recorder;
    std::vector<std::shared_ptr<CPublisher>> publishers;
    CFeedStamper::Counters counters;
};
