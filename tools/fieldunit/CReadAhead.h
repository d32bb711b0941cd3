// Makes a source's packets a little ahead of their time, on a thread of its
// own, so that encoding a picture never holds back the packets due while it
// is encoded: a real encoder works as its camera delivers, and its packets
// leave steadily. Without this, a busy machine made the field unit itself
// send packets up to a hundred milliseconds late.
#pragma once

#include "CMediaSource.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

class CReadAhead : public CMediaSource {
public:
    // Keeps up to spanUs of media time, and at most maxPackets, ready.
    explicit CReadAhead(std::unique_ptr<CMediaSource> source, int64_t spanUs = kSpanUs,
                        size_t maxPackets = 256);
    ~CReadAhead() override;

    Result Read(media::CMediaPacket& packet) override;
    const char* LastError() const override { return error.c_str(); }

    static constexpr int64_t kSpanUs = 200000;

private:
    void Run();
    bool Full() const;

    std::unique_ptr<CMediaSource> source;
    const int64_t spanUs;
    const size_t maxPackets;
    std::thread thread;
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<media::CMediaPacket> ready;
    int64_t lastTakenUs = 0;
    bool taken = false;
    bool finished = false; // the source ended or failed: result says which
    Result result = Result::End;
    std::string error;
    bool stopping = false;
};
