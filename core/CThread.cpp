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

bool CThread::StopRequested(uint32_t timeoutMs) {
    return stopEvent && stopEvent->Wait(timeoutMs);
}

bool CThread::Running() { return thread.joinable() && !finished.IsSet(); }

bool CThread::Stop(uint32_t timeoutMs) {
    if (stopEvent) stopEvent->Set();
    Wake();
    if (!thread.joinable()) return true;
    if (!finished.Wait(timeoutMs)) return false;
    thread.join();
    return true;
}
