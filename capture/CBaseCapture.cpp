#include "CBaseCapture.h"

#include "platform/PropertyPages.h"
#include "platform/Com.h"

#include <new>

CBaseCapture::CBaseCapture() {
    platform::CoInitialize(nullptr);
}

CBaseCapture::~CBaseCapture() {
    mediaControl = nullptr;
    graph.reset();
    platform::CoUninitialize();
}

int32_t CBaseCapture::Run() {
    if (!mediaControl)
        return 0;
    lastResult = mediaControl->Run();
    return lastResult == S_OK;
}

int32_t CBaseCapture::Stop() {
    if (!mediaControl)
        return 0;
    lastResult = mediaControl->Stop();
    return lastResult == S_OK;
}

std::u16string CBaseCapture::ErrorText() const {
    char16_t buffer[160] = u"No error.";
    if (lastResult != S_OK) {
        uint32_t n = platform::GetErrorText(lastResult, buffer, std::size(buffer));
        if (n > 0)
            buffer[n] = 0;
    }
    return buffer;
}

int32_t CBaseCapture::CreateGraph() {
    graph.reset(new (std::nothrow) platform::CFilterGraph);
    lastResult = graph ? S_OK : E_OUTOFMEMORY;
    return graph != nullptr;
}

int32_t CBaseCapture::AddFilterByClass(platform::FilterKind kind,
                                       std::shared_ptr<platform::CFilter>& filter,
                                       const char16_t* graphName) {
    if (!graph) {
        lastResult = E_POINTER;
        return 0;
    }
    switch (kind) {
    case platform::FilterKind::NullRenderer:
        filter = std::make_shared<platform::CNullRenderer>();
        break;
    case platform::FilterKind::SampleGrabber:
        filter = std::make_shared<platform::CSampleGrabber>();
        break;
    default:
        // Devices are found by name, not made by kind.
        lastResult = E_INVALIDARG;
        return 0;
    }
    lastResult = graph->AddFilter(filter, graphName);
    return SUCCEEDED(lastResult);
}

int32_t CBaseCapture::AddDeviceFilter(platform::DeviceCategory category,
                                      const std::u16string& wanted,
                                      std::shared_ptr<platform::CCaptureFilter>& filter,
                                      const char16_t* graphName) {
    if (!graph) {
        lastResult = E_POINTER;
        return 0;
    }
    if (category != platform::DeviceCategory::AudioInput) {
        lastResult = VFW_E_NO_CAPTURE_HARDWARE;
        return 0;
    }
    lastResult = graph->FindCaptureDevice(wanted, filter);
    if (lastResult != S_OK)
        return 0;
    lastResult = graph->AddFilter(filter, graphName);
    return SUCCEEDED(lastResult);
}

int32_t CBaseCapture::AddSampleGrabber(std::shared_ptr<platform::CSampleGrabber>& filter,
                                       const char16_t* graphName) {
    std::shared_ptr<platform::CFilter> added;
    if (!AddFilterByClass(platform::FilterKind::SampleGrabber, added, graphName))
        return 0;
    filter = std::static_pointer_cast<platform::CSampleGrabber>(added);
    return 1;
}

int32_t CBaseCapture::ShowPropertyFrame(platform::OwnerWindow owner,
                                        const std::shared_ptr<platform::CFilter>& filter) {
    // Runs on the GUI thread while the worker may be using lastResult, so the
    // result is only returned, never kept.
    return platform::ShowFilterProperties(owner, filter) == S_OK;
}
