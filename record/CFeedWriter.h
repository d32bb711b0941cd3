// One output of the feed, written on a thread of its own from a bounded queue:
// the packets of each connection muxed as they came, without re-encoding,
// from the connection's first key frame on. What the output goes to (a file
// per connection, a network address) is the subclass's; how a connection's
// packets become a stream is here.
#pragma once

#include "CAvFormat.h"
#include "CFeedPacket.h"
#include "CFeedQueue.h"
#include "core/CThread.h"

#include <atomic>
#include <deque>
#include <functional>
#include <mutex>
#include <string>

class CFeedWriter : public CThread {
public:
    // Puts a line of text on the operator's error line; any thread.
    using Reporter = std::function<void(const std::string&)>;

    enum class State {
        Connecting, // to its address, or waiting to try again
        Waiting,    // ready, for a connection's first key frame
        Writing,
        Failed, // gave up for good (a recording that cannot go on)
    };
    struct Status {
        State state = State::Connecting;
        std::string where; // the file being written, or the address
        int64_t writtenUs = 0; // of the current output
        uint64_t outputs = 0;  // outputs begun
        uint64_t refused = 0;  // packets the muxer would not take
        CFeedQueue::Counters queue;
    };

    // How long a picture may wait for the first sound before an output is
    // begun without sound, and sound for the first key frame before one is
    // begun with sound alone.
    static constexpr int64_t kAudioWaitUs = 1000000;
    static constexpr int64_t kVideoWaitUs = 3000000;
    // What is muxed reaches the file or the network at least this often, and
    // whenever the library's buffer fills: a write for every packet would
    // cost more than the muxing itself.
    static constexpr int64_t kFlushUs = 100000;

    CFeedWriter(CAvFormat& av, Reporter report);
    // Subclasses call Stop in their own destructors: the thread uses them.
    ~CFeedWriter() override;

    // From the stream server's worker: never waits.
    void Push(CFeedPacketPtr packet) { queue.Push(std::move(packet)); }
    // Stop ends the current output properly and the thread; safe to repeat.
    Status GetStatus();

protected:
    uint32_t Execute() override;
    // Breaks off a connection attempt or a wait for packets.
    void Wake() override;

    // "mpegts" or "flv".
    virtual const char* FormatName() const = 0;
    // True once there is somewhere to write; may wait (interruptibly).
    virtual bool Connect() = 0;
    // Where a connection's output goes; null when it cannot be had (the
    // subclass has said why).
    virtual AVIOContext* OpenTransport(const CFeedConnection& connection) = 0;
    // After an output's muxer is gone: failed with the code of a write that
    // failed, or 0 after an orderly end.
    virtual void OutputEnded(int code) = 0;
    // After what was written so far has left the muxer, every kFlushUs of
    // the feed, on the writer's thread.
    virtual void Flushed() {}
    // For the subclass's messages and status.
    void SetState(State state, const std::string& where);
    bool Stopping() const { return stopping; }
    static int Interrupt(void* writer);

    CAvFormat& av;
    Reporter report;

private:
    void Handle(const CFeedPacketPtr& packet);
    void Gather(const CFeedPacketPtr& packet);
    bool BeginOutput();
    bool AddStreams(const CFeedPacket* video, const CFeedPacket* audio);
    void Write(const CFeedPacket& packet);
    void EndOutput(int code);

    CFeedQueue queue;
    std::atomic<bool> stopping{false};
    bool flv = false;

    std::shared_ptr<const CFeedConnection> connection;
    // A connection's packets until its output can begin: from its first key
    // frame on, or sound alone while no picture has come.
    std::deque<CFeedPacketPtr> pending;
    CFeedPacketPtr lastAudio; // the connection's sound format, once it is known

    AVFormatContext* context = nullptr;
    AVPacket* avPacket = nullptr;
    int videoIndex = -1;
    int audioIndex = -1;
    int64_t origin = 0;
    int64_t lastStamp[2] = {};
    int64_t lastFlush = 0;

    std::mutex statusLock;
    Status status;
};
