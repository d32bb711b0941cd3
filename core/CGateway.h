// The studio end of the stream connection: listens on the session's address
// and port, serves one field unit at a time, reads its packets and hands video
// and audio to their channels.
#pragma once

#include "CMonitor.h"
#include "CPacketReader.h"
#include "CPacketTap.h"
#include "CThread.h"
#include "CVideoWorker.h"
#include "PacketHeader.h"
#include "SessionContext.h"
#include "capture/CNetwork.h"
#include "codec/CAudioRenderer.h"
#include "codec/CVideoRenderer.h"
#include "platform/SocketCompat.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

class CGateway : public CThread {
public:
    // Binds and listens at once; failures are reported, never thrown.
    explicit CGateway(SessionContext* session);
    // Ends the worker first if it still runs.
    ~CGateway() override;

    uint32_t Execute() override;

    // Ends a pending accept and the current connection's pending receive, so
    // that the worker notices a Terminate at once. Called by the GUI thread.
    void CloseListener();
    // Closes the video channel so that the next video packet reopens it with
    // the window and rectangle now in the session.
    void CloseVideo();
    // Hands every connection and packet to tap as well; null for none. Set
    // before Start; the tap must outlive the server.
    void SetTap(CPacketTap* tap) { this->tap = tap; }
    uint32_t GetVolume();
    void SetVolume(uint32_t volume);

    // How long a return audio send may block where the system cannot send
    // without waiting.
    static constexpr int kSendTimeoutMs = 500;
    // Seconds without a byte before a connection is closed, unless the
    // operator chose otherwise.
    static constexpr int32_t kDefaultIdleTimeout = 5;
    // A vanished peer is also found while the connection is quiet or while
    // return audio waits for acknowledgement: keep-alive probes after 2 s of
    // quiet, one a second, three unanswered; unacknowledged data for the idle
    // time-out.
    static constexpr int kKeepAliveIdleS = 2;
    static constexpr int kKeepAliveIntervalS = 1;
    static constexpr int kKeepAliveCount = 3;
    // Pictures are never held back longer than this for the sound.
    static constexpr int64_t kLongestHoldBackMicros = 500000;
    // Backlog of waiting field units.
    static constexpr int kBacklog = 0x7FFFFFFF;

    // For tests and benchmarks.
    CVideoRenderer::Counters VideoCounters() const { return video.GetCounters(); }
    CAudioRenderer::Counters AudioCounters() const { return audio.GetCounters(); }
    uint32_t ConnectionsServed() const { return connectionsServed; }
    uint32_t PacketsRead() const { return packetsRead; }
    CVideoWorker::Counters VideoQueueCounters() const { return videoWorker.GetCounters(); }
    // How long pictures are held back now, in microseconds.
    int64_t HoldBackMicros() const { return holdBackMicros; }
    // The current connection's return audio; zeros between connections.
    CNetwork::Counters ReturnCounters();

    // True once the current connection has put a picture on the screen; false
    // between connections. Any thread.
    bool ConnectionHasPicture() const { return connectionPicture; }

private:
    long Receive(void* buffer, uint32_t length);
    void ReportSocketError();
    void ReportText(const std::u16string& text);
    void Prepare(SOCKET c);
    void Serve();
    void Dispatch();
    // On the video thread: opens the channel if needed and draws.
    void DrawVideo(const CVideoWorker::Packet& packet);
    // When a video packet that arrived now may be drawn.
    CVideoWorker::Clock::time_point PictureDue(CVideoWorker::Clock::time_point arrival);
    // Before every sound packet is played: how long until it is heard.
    void NoteSoundDelay();
    // After every Draw, with lock held: the picture and refusals it left.
    void NoteVideo();
    void Teardown();

    SessionContext* session;
    CPacketTap* tap = nullptr;
    std::atomic<SOCKET> listener{INVALID_SOCKET};
    std::atomic<SOCKET> connection{INVALID_SOCKET};
    sockaddr_in address{};
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
    // Smoothed: the delay from a sound packet's arrival until it is heard,
    // and the pictures' from arrival to the window (decode and hand-over).
    double soundDelayMicros = 0;
    std::atomic<double> pictureMicros{0};
    std::atomic<int64_t> holdBackMicros{0};

    // Of the current connection: its idle time-out in seconds, whether a
    // receive ran into it, the video refusals already on the error line, and
    // the picture count it started at.
    int32_t idleSeconds = 0;
    bool idleExpired = false;
    uint32_t videoReported = 0;
    uint32_t picturesAtStart = 0;
    std::atomic<bool> connectionPicture{false};

    // Keeps the sender alive while another thread reads its counters.
    std::mutex senderLock;
    // Orders closing the connection (worker) against waking it (GUI thread).
    std::mutex connectionLock;
    bool closing = false;
    std::atomic<uint32_t> connectionsServed{0};
    std::atomic<uint32_t> packetsRead{0};
};
