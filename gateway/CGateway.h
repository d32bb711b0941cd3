// The studio end of the stream connection: listens on the session's address
// and port, serves one field unit at a time, reads its packets and hands video
// and audio to their channels.
#pragma once

#include "core/CAllowList.h"
#include "core/CErrorLine.h"
#include "core/CMonitor.h"
#include "core/CPacketReader.h"
#include "core/CPacketTap.h"
#include "CPictureClock.h"
#include "core/CThread.h"
#include "CVideoWorker.h"
#include "core/PacketHeader.h"
#include "core/SessionContext.h"
#include "codec/CAudioRenderer.h"
#include "codec/CVideoRenderer.h"
#include "levels/CLevelMeter.h"
#include "levels/CPictureMeter.h"
#include "platform/SocketCompat.h"
#include "return/CReturnAudio.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

class CGateway : public CThread {
public:
    // Binds and listens at once; failures are reported, never thrown.
    explicit CGateway(SessionContext* session);
    // Ends the worker first if it still runs.
    ~CGateway() override;

    uint32_t Execute() override;

    // Sends the pictures to the window and rectangle now in the session. The
    // decoder is not closed: a display change never waits for a key frame.
    // Once it returns, nothing more is drawn into the window left. Called by
    // the GUI thread.
    void MoveVideo();
    // Hands every connection and packet to tap as well; null for none. Set
    // before Start; the tap must outlive the server.
    void SetTap(CPacketTap* tap) { this->tap = tap; }
    // Only field units whose address the list allows are served; anyone else
    // is let go before a byte of theirs is read. Set before Start.
    void SetAllowList(CAllowList list) { allowList = std::move(list); }
    // When the address could not be listened on at construction, the worker
    // tries again every second until it can, rather than waiting for a Stop.
    // Set before Start.
    void SetRetryListen(bool retry) { retryListen = retry; }
    // True while the listening socket is bound and listening. Any thread.
    bool Listening() const { return listening; }
    // The system's code for why it does not listen; 0 while it does.
    int ListenError() const { return listenError; }
    uint32_t GetVolume();
    void SetVolume(uint32_t volume);

    // How long a return audio send may block where the system cannot send
    // without waiting.
    static constexpr int kSendTimeoutMs = 500;
    // Seconds without a byte before a connection is closed, unless the
    // operator chose otherwise.
    static constexpr int32_t kDefaultIdleTimeout = 5;
    // A vanished peer is also found while the connection is quiet: keep-alive
    // probes after the idle time-out, or 2 s of quiet without one, one a
    // second, three unanswered.
    static constexpr int kKeepAliveIdleS = 2;
    static constexpr int kKeepAliveIntervalS = 1;
    static constexpr int kKeepAliveCount = 3;
    // Pictures are never held back longer than the receive latency in force
    // (the adaptive one's longest) and this.
    static constexpr int64_t kHoldBackBeyondLatencyMicros = 500000;
    // The receive latency an operator may choose, in milliseconds.
    static constexpr int32_t kShortestReceiveLatencyMs = 50;
    static constexpr int32_t kLongestReceiveLatencyMs = 5000;
    // 0 (adaptive) or a latency the operator may choose.
    static bool ReceiveLatencyAllowed(int32_t ms) {
        return ms == 0 || (ms >= kShortestReceiveLatencyMs && ms <= kLongestReceiveLatencyMs);
    }
    // Backlog of waiting field units.
    static constexpr int kBacklog = 0x7FFFFFFF;

    // For tests and benchmarks.
    CVideoRenderer::Counters VideoCounters() const { return video.GetCounters(); }
    CAudioRenderer::Counters AudioCounters() const { return audio.GetCounters(); }
    uint32_t ConnectionsServed() const { return connectionsServed; }
    // Connections let go at once because the allow list has no place for
    // their address.
    uint64_t ConnectionsRefused() const { return connectionsRefused; }
    uint32_t PacketsRead() const { return packetsRead; }
    CVideoWorker::Counters VideoQueueCounters() const { return videoWorker.GetCounters(); }
    // How long pictures are held back now, in microseconds.
    int64_t HoldBackMicros() const { return holdBackMicros; }
    // The receive latency chosen for the session, in milliseconds; 0 for the
    // adaptive one. Any thread.
    int32_t ReceiveLatencyMs() const {
        const int32_t chosen = session->receiveLatencyMs.load();
        return chosen <= 0
                   ? 0
                   : std::clamp(chosen, kShortestReceiveLatencyMs, kLongestReceiveLatencyMs);
    }
    // The current connection's return audio; zeros between connections.
    CReturnAudio::Counters ReturnCounters();
    // What the current connection's studio source is doing, for its property
    // dialog; nothing between connections. Any thread.
    std::optional<CCapture::Status> ReturnStatus();

    // True once the current connection has put a picture on the screen; false
    // between connections. Any thread.
    bool ConnectionHasPicture() const { return connectionPicture; }

    // For the operator's instruments; any thread, over the server's life.
    // Packets refused, by reason: of a type that is neither sound nor
    // picture; with a header that is not a field unit's (the connection
    // ends); pictures that gave nothing to show (undecodable, of a refused
    // size, or no decoder).
    enum Refusal { kRefusedUnknownType, kRefusedBadHeader, kRefusedNotDecoded, kRefusalReasons };
    struct Traffic {
        uint64_t videoPackets = 0, videoBytes = 0; // payload bytes, headers left out
        uint64_t audioPackets = 0, audioBytes = 0;
        std::array<uint64_t, kRefusalReasons> refused{};
    };
    Traffic GetTraffic() const;
    // The field unit connected now, as "a.b.c.d:port", and since when; an
    // empty address between connections.
    struct Peer {
        std::string address;
        std::chrono::steady_clock::time_point since;
    };
    Peer ConnectedPeer() const;
    // The return audio of every connection so far, the current one included.
    CReturnAudio::Counters ReturnTotals();
    // For each video packet drawn: how long decoding and handing the picture
    // to the window took, and how long from the last byte of its packet
    // until it was handed over (kUnknown when it gave no picture, or its
    // arrival was not kept).
    struct PictureTiming {
        static constexpr uint32_t kUnknown = UINT32_MAX;
        uint32_t drawMicros = 0;
        uint32_t latencyMicros = kUnknown;
    };
    // Appends the timings of the pictures numbered above after (1 is the
    // server's first), oldest first, as far as they are still kept; returns
    // the number of the newest.
    uint64_t PictureTimings(uint64_t after, std::vector<PictureTiming>& out) const;
    static constexpr size_t kPictureTimingsKept = 256;
    // What is played, and what is sent back.
    const CLevelMeter& ProgrammeMeter() const { return audio.Meter(); }
    const CLevelMeter& ReturnMeter() const { return returnMeter; }
    // Whether the pictures still change and whether they are black.
    const CPictureMeter& PictureMeter() const { return video.Meter(); }
    // Whether a studio source was chosen for the return audio.
    bool ReturnChosen() const { return session->audioSource != 0; }

protected:
    // Ends a pending accept and the current connection's pending receive, so
    // that the worker notices a Stop at once.
    void Wake() override;

private:
    // Binds and listens on the session's address: the socket, or
    // INVALID_SOCKET with the failing call's error code left as the last.
    SOCKET OpenListener();
    // The session's address and port, as the operator reads them.
    std::string ListenText() const;
    void RetryListen();
    // Lets the connection go at once, and says so, unless the allow list
    // takes its address.
    bool Admit(SOCKET c, const sockaddr_storage& from);
    long Receive(void* buffer, uint32_t length);
    void ReportSocketError(CErrorLine::Level level = CErrorLine::Level::kError);
    void ReportText(const std::u16string& text,
                    CErrorLine::Level level = CErrorLine::Level::kWarning);
    void Prepare(SOCKET c);
    void Serve();
    void Dispatch();
    // On the video thread: opens the channel if needed and draws.
    void DrawVideo(const CVideoWorker::Packet& packet);
    // Puts a burst of pictures dropped on the error line, once.
    void ReportDropBurst(CVideoWorker::Clock::time_point now);
    // When a video packet that arrived now may be drawn.
    CVideoWorker::Clock::time_point PictureDue(CVideoWorker::Clock::time_point arrival);
    // Plays a sound packet, noting when it is heard.
    void PlaySound(const uint8_t* payload, uint32_t length);
    int64_t LongestHoldBackMicros() const;
    // After every Draw, with lock held: the picture and refusals it left.
    void NoteVideo();
    // When a video packet that is due then arrived, and the timing of a
    // picture drawn.
    void NoteArrival(CVideoWorker::Clock::time_point due, CVideoWorker::Clock::time_point arrival);
    void ForgetArrival(CVideoWorker::Clock::time_point due);
    void NoteTiming(CVideoWorker::Clock::time_point due, CVideoWorker::Clock::time_point drawn,
                    double drawMicros, bool shown);
    void Teardown();

    SessionContext* session;
    CPacketTap* tap = nullptr;
    std::atomic<SOCKET> listener{INVALID_SOCKET};
    std::atomic<SOCKET> connection{INVALID_SOCKET};
    sockaddr_storage address{};
    socklen_t addressLength = 0;
    std::atomic<bool> listening{false};
    std::atomic<int> listenError{0};
    bool retryListen = false;
    CAllowList allowList;
    std::atomic<uint64_t> connectionsRefused{0};
    // The refusals not yet named on the error line, which names at most one
    // a second, so that a flood of them cannot flood it.
    uint64_t refusalsUnreported = 0;
    std::optional<std::chrono::steady_clock::time_point> refusalReported;
    // Its payload buffer grows to the largest payload of a connection and is
    // released at the connection's end.
    CPacketReader reader;
    CMonitor lock;
    CVideoRenderer video;
    CAudioRenderer audio;
    int32_t videoOpen = 0;
    int32_t audioOpen = 0;
    CVideoWorker videoWorker;
    bool videoThread = false; // the worker runs for this connection
    // When the sound that came before a picture is heard; and, smoothed,
    // the pictures' delay from arrival to the window (decode and hand-over).
    CPictureClock pictureClock;
    std::atomic<double> pictureMicros{0};
    std::atomic<int64_t> holdBackMicros{0};

    // Of the current connection: its idle time-out in seconds, whether a
    // receive ran into it, when a peer that answers nothing is gone, the
    // video refusals already on the error line, and the picture count it
    // started at.
    int32_t idleSeconds = 0;
    bool idleExpired = false;
    std::chrono::milliseconds peerGoneAfter{0};
    uint32_t videoReported = 0;
    uint32_t picturesAtStart = 0;
    std::atomic<bool> connectionPicture{false};

    // Keeps the return audio alive while another thread reads it.
    std::mutex senderLock;
    std::unique_ptr<CReturnAudio> returnAudio; // the current connection's; under senderLock
    // Orders closing the connection and putting a new listener in place
    // (worker) against waking them (GUI thread).
    std::mutex connectionLock;
    bool closing = false;
    std::atomic<uint32_t> connectionsServed{0};
    std::atomic<uint32_t> packetsRead{0};

    // The instruments' figures.
    std::atomic<uint64_t> videoPackets{0}, videoBytes{0}, audioPackets{0}, audioBytes{0};
    std::array<std::atomic<uint64_t>, kRefusalReasons> refused{};
    bool receiveEnded = false; // the last packet read met an end or error of the connection
    mutable std::mutex peerLock;
    Peer peer;
    CReturnAudio::Counters returnDone; // of the connections that have ended; under senderLock
    CLevelMeter returnMeter;
    // Packets on their way to the video thread, by the time they are due,
    // and the timings of the newest pictures, numbered.
    struct Arrival {
        CVideoWorker::Clock::time_point due, arrival;
    };
    mutable std::mutex timingLock;
    std::array<Arrival, 2 * CVideoWorker::kMaxPackets> arrivals{};
    size_t arrivalFirst = 0, arrivalCount = 0;
    std::array<PictureTiming, kPictureTimingsKept> timings{};
    uint64_t timingsNumbered = 0;
};
