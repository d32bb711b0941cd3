// The capture graph of one connection: the chosen capture device, a sample
// grabber that calls the connection's CAudioIn with every buffer, and a null
// renderer, in the session's capture format with buffers of one chunk.
#pragma once

#include "CBaseCapture.h"
#include "core/SessionContext.h"

#include <memory>
#include <mutex>

class CCapture : public CBaseCapture, private platform::IMediaEventSink {
public:
    CCapture() = default;
    ~CCapture() override;

    // Builds the whole graph, stopped; on failure reports the last result's
    // text through the session's status reporter and returns 0.
    int32_t Build(SessionContext* session);
    // GUI thread: the capture device's property dialog, modal. 0 without a
    // capture device.
    int32_t ShowCaptureProperties(platform::OwnerWindow owner);
    // Stops deliveries to the session's grabber; once this returns none is
    // running.
    void DetachCallback();
    // Shared with property dialogs, which may outlive the graph. Any thread.
    std::shared_ptr<platform::CCaptureFilter> CaptureFilter() const;

private:
    int32_t AddGrabber();
    int32_t AddRenderer();
    int32_t AddCapture();
    int32_t SetCaptureFormat();
    int32_t SuggestBuffers();
    int32_t Connect();
    void ReportError();
    // The graph's events, on its streaming thread: a source that goes away,
    // comes back, or delivers nothing reaches the operator's error line.
    void Notify(int32_t code, intptr_t param) override;

    SessionContext* session = nullptr;
    mutable std::mutex filterLock; // captureFilter is read by the GUI thread
    std::shared_ptr<platform::CCaptureFilter> captureFilter;
    std::shared_ptr<platform::CSampleGrabber> grabberFilter;
    std::shared_ptr<platform::CFilter> rendererFilter;
};
