// A manual-reset event: once set it stays set, releasing every waiter, until
// it is reset.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace platform {

constexpr uint32_t INFINITE = 0xFFFFFFFF;

class CEvent {
public:
    CEvent() = default;
    virtual ~CEvent() = default;
    CEvent(const CEvent&) = delete;
    CEvent& operator=(const CEvent&) = delete;

    void Set();
    void Reset();
    // Waits up to timeoutMs (INFINITE: for ever); true when the event is set.
    bool Wait(uint32_t timeoutMs);
    bool IsSet();

private:
    std::mutex mutex;
    std::condition_variable changed;
    bool signalled = false;
};

} // namespace platform
