// A critical section.
#pragma once

#include <cstdint>
#include <mutex>

class CMonitor {
public:
    CMonitor() = default;
    virtual ~CMonitor() = default;
    CMonitor(const CMonitor&) = delete;
    CMonitor& operator=(const CMonitor&) = delete;

    int32_t Lock() {
        mutex.lock();
        return 1;
    }
    void Unlock() { mutex.unlock(); }

    // For std::lock_guard and friends.
    void lock() { Lock(); }
    void unlock() { Unlock(); }

private:
    std::mutex mutex;
};
