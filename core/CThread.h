// A thread whose body is Execute, with a manual-reset stop event that the body
// polls and other threads signal.
#pragma once

#include "platform/Event.h"

#include <cstdint>
#include <memory>
#include <thread>

class CThread {
public:
    CThread() = default;
    // Joins a thread that has ended; a thread still running is waited for,
    // since destroying the object under it could only crash.
    virtual ~CThread();
    CThread(const CThread&) = delete;
    CThread& operator=(const CThread&) = delete;

    virtual uint32_t Execute() = 0;

    // Runs Execute on a new thread. Priority 0 is normal; others are hints.
    bool Start(int priority);
    // True when the stop event is signalled, waiting up to timeoutMs for it.
    bool StopRequested(uint32_t timeoutMs);
    // True from Start until Execute has returned.
    bool Running();

    // The one way to end the thread: asks it to stop, wakes it from whatever
    // else it waits on, and waits up to timeoutMs for it to end. True once it
    // has ended (or never ran).
    bool Stop(uint32_t timeoutMs = platform::INFINITE);

protected:
    // Called by Stop after the stop event is set: unblocks a body that waits
    // on something the event cannot reach (a socket, a condition).
    virtual void Wake() {}

private:
    std::thread thread;
    std::unique_ptr<platform::CEvent> stopEvent;
    platform::CEvent finished;
};
