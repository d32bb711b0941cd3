#include "Event.h"

namespace platform {

void CEvent::Set() {
    {
        std::lock_guard guard(mutex);
        signalled = true;
    }
    changed.notify_all();
}

void CEvent::Reset() {
    std::lock_guard guard(mutex);
    signalled = false;
}

bool CEvent::Wait(uint32_t timeoutMs) {
    std::unique_lock guard(mutex);
    if (timeoutMs == INFINITE) {
        changed.wait(guard, [this] { return signalled; });
        return true;
    }
    return changed.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                            [this] { return signalled; });
}

bool CEvent::IsSet() {
    std::lock_guard guard(mutex);
    return signalled;
}

} // namespace platform
