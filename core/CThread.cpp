#include "CThread.h"

CThread::~CThread() {
    if (thread.joinable()) thread.join();
}

bool CThread::Start(int /*priority*/) {
    if (thread.joinable()) return false;
    stopEvent = std::make_unique<platform::CEvent>();
    stopEvent->Reset();
    finished.Reset();
    try {
        thread = std::thread([this] {
            Execute();
            finished.Set();
        });
    } catch (...) {
        return false;
    }
    return true;
}

void CThread::Terminate() {
    if (stopEvent) stopEvent->Set();
}

uint32_t CThread::WaitFor(uint32_t timeoutMs) {
    if (!thread.joinable()) return WAIT_OBJECT_0;
    if (!finished.Wait(timeoutMs)) return WAIT_TIMEOUT;
    thread.join();
    return WAIT_OBJECT_0;
}

bool CThread::StopRequested(uint32_t timeoutMs) {
    return stopEvent && stopEvent->Wait(timeoutMs);
}

bool CThread::Running() { return thread.joinable() && !finished.IsSet(); }

bool CThread::Stop(uint32_t timeoutMs) {
    Terminate();
    Wake();
    return WaitFor(timeoutMs) == WAIT_OBJECT_0;
}
