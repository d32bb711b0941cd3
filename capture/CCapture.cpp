#include "CCapture.h"

#include "CAudioIn.h"
#include "core/CErrorHandler.h"

CCapture::~CCapture() {
    {
        std::lock_guard guard(filterLock);
        captureFilter.reset();
    }
    grabberFilter.reset();
    rendererFilter.reset();
}

int32_t CCapture::Build(SessionContext* s) {
    session = s;
    bool built = CreateGraph() && AddGrabber() && AddRenderer() && AddCapture() &&
                 SetCaptureFormat() && SuggestBuffers() && Connect();
    if (!built) {
        ReportError();
        return 0;
    }
    mediaControl = graph.get();
    return 1;
}

int32_t CCapture::AddGrabber() {
    if (!AddSampleGrabber(grabberFilter, u"AudioSampleGrabber"))
        return 0;
    platform::MediaType type;
    type.major = platform::MajorType::Audio;
    type.subtype = platform::SubType::Pcm;
    type.formatType = platform::FormatType::WaveFormatEx;
    lastResult = grabberFilter->SetMediaType(type);
    if (SUCCEEDED(lastResult))
        lastResult = grabberFilter->SetOneShot(false);
    if (SUCCEEDED(lastResult))
        lastResult = grabberFilter->SetBufferSamples(true);
    if (SUCCEEDED(lastResult))
        lastResult = grabberFilter->SetCallback(session->grabber.load(), 1);
    return lastResult == S_OK;
}

int32_t CCapture::AddRenderer() {
    return AddFilterByClass(platform::FilterKind::NullRenderer, rendererFilter, u"AudioRenderer");
}

int32_t CCapture::AddCapture() {
    std::shared_ptr<platform::CCaptureFilter> found;
    int32_t ok = AddDeviceFilter(platform::DeviceCategory::AudioInput,
                                 std::u16string(session->audioSourceName), found, u"AudioCapture");
    std::lock_guard guard(filterLock);
    captureFilter = std::move(found);
    return ok && captureFilter;
}

int32_t CCapture::SetCaptureFormat() {
    const WAVEFORMATEX* wanted = session->captureFormat;
    if (!wanted) {
        lastResult = E_POINTER;
        return 0;
    }
    WAVEFORMATEX format{};
    lastResult = captureFilter->GetFormat(format);
    if (FAILED(lastResult))
        return 0;
    // The device's format block is the plain 18-byte record: copied whole,
    // never beyond it.
    format = *wanted;
    lastResult = captureFilter->SetFormat(format);
    return lastResult == S_OK;
}

int32_t CCapture::SuggestBuffers() {
    lastResult = captureFilter->SuggestBufferSize(session->chunkSize);
    return lastResult == S_OK;
}

int32_t CCapture::Connect() {
    graph->SetNotify(this);
    lastResult = graph->RenderStream(captureFilter, grabberFilter, rendererFilter);
    return lastResult == S_OK;
}

void CCapture::Notify(int32_t code, intptr_t param) {
    const char16_t* text = nullptr;
    // A source that went or fell silent is a warning (the link goes on), one
    // that came back a notice.
    const bool back = code == platform::EC_DEVICE_LOST ? param != 0 : param == 0;
    const CErrorLine::Level level = back ? CErrorLine::Level::kNotice : CErrorLine::Level::kWarning;
    if (code == platform::EC_DEVICE_LOST)
        text = param ? u"The studio audio source is back: studio audio is sent again."
                     : u"The studio audio source has gone: no studio audio is sent back "
                       u"until it returns.";
    else if (code == platform::EC_STARVATION && param)
        text = u"The studio audio source has delivered nothing for 2 s.";
    else if (code == platform::EC_STARVATION)
        text = u"The studio audio source delivers again.";
    if (text && session)
        if (CErrorHandler* handler = session->errorHandler)
            handler->ReportText(text, level);
}

void CCapture::ReportError() {
    if (CErrorHandler* handler = session->errorHandler)
        handler->ReportText(ErrorText().c_str(), CErrorLine::Level::kError);
}

std::shared_ptr<platform::CCaptureFilter> CCapture::CaptureFilter() const {
    std::lock_guard guard(filterLock);
    return captureFilter;
}

int32_t CCapture::ShowCaptureProperties(platform::OwnerWindow owner) {
    std::shared_ptr<platform::CCaptureFilter> filter = CaptureFilter();
    if (!filter)
        return 0;
    return ShowPropertyFrame(owner, filter);
}

void CCapture::DetachCallback() {
    if (grabberFilter)
        grabberFilter->SetCallback(nullptr, 1);
}
