// The generic steps of a capture graph: the graph itself, adding filters by
// kind or a device by name, run, stop, property pages and the text of the
// last result.
#pragma once

#include "platform/CaptureGraph.h"
#include "platform/ComTypes.h"

#include <cstdint>
#include <memory>
#include <string>

class CBaseCapture {
public:
    CBaseCapture();
    virtual ~CBaseCapture();
    CBaseCapture(const CBaseCapture&) = delete;
    CBaseCapture& operator=(const CBaseCapture&) = delete;

    // 0 without a call while the graph is incomplete; else 1 only for S_OK.
    int32_t Run();
    // Returns when no buffer is being delivered and none can be.
    int32_t Stop();

    // The whole text of the last result; "No error." for S_OK.
    std::u16string ErrorText() const;
    HRESULT LastResult() const { return lastResult; }

    // The filter's property pages as a modal dialog captioned with its name in
    // the graph; GUI thread. The dialog keeps the filter while it is open.
    // Failures are silent apart from the result.
    static int32_t ShowPropertyFrame(platform::OwnerWindow owner,
                                     const std::shared_ptr<platform::CFilter>& filter);

protected:
    int32_t CreateGraph();
    int32_t AddFilterByClass(platform::FilterKind kind, std::shared_ptr<platform::CFilter>& filter,
                             const char16_t* graphName);
    // The first device of the category whose FriendlyName equals wanted,
    // case-sensitively; added to the graph under graphName.
    int32_t AddDeviceFilter(platform::DeviceCategory category, const std::u16string& wanted,
                            std::shared_ptr<platform::CCaptureFilter>& filter,
                            const char16_t* graphName);
    int32_t AddSampleGrabber(std::shared_ptr<platform::CSampleGrabber>& filter,
                             const char16_t* graphName);

    HRESULT lastResult = S_OK;
    // Graph and builder in one.
    std::unique_ptr<platform::CFilterGraph> graph;
    // Set once the graph is complete; Run and Stop act only through it.
    platform::CFilterGraph* mediaControl = nullptr;
};
