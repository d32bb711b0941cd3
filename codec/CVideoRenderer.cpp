#include "CVideoRenderer.h"

CVideoRenderer::CVideoRenderer() = default;

CVideoRenderer::~CVideoRenderer() {
    Close();
}

bool CVideoRenderer::SizeAllowed(int32_t w, int32_t h) {
    return w > 0 && h > 0 && w <= kMaxSide && h <= kMaxSide && int64_t(w) * h <= kMaxArea;
}

int32_t CVideoRenderer::ImageSize(int32_t w, int32_t h) {
    if (!SizeAllowed(w, h))
        return 0;
    return w * h * 3 / 2;
}

int32_t CVideoRenderer::Open(SessionContext* s) {
    counters.Add(&Counters::opens);
    if (open)
        Close();
    open = true;
    session = s;
    window = s->videoWindow;
    refusals = {};
    int32_t w = s->videoWidth, h = s->videoHeight;
    // An absurd or empty size from the header lays nothing out; the first
    // picture is laid out at its own size, if that one is allowed.
    if (!SizeAllowed(w, h)) {
        refusals.causes |= kHeaderSizeRefused;
        refusals.headerWidth = w;
        refusals.headerHeight = h;
    } else {
        Resize(w, h);
    }
    decoderOpen = decoder.Open(s) != 0;
    // Every picture then differs from the empty layout and is judged by its
    // own size.
    if (refusals.causes & kHeaderSizeRefused)
        decoder.SetPictureSize(0, 0);
    if (!decoderOpen)
        refusals.causes |= kDecoderNotOpened;
    return decoderOpen ? 1 : 0;
}

bool CVideoRenderer::Resize(int32_t w, int32_t h) {
    if (!SizeAllowed(w, h))
        return false;
    width = w;
    height = h;
    decoder.SetPictureSize(w, h);
    return true;
}

void CVideoRenderer::Draw(const uint8_t* data, uint32_t length, int32_t keyFrame) {
    // Counted on the way out, so that a finished count means a finished draw.
    struct CountOnReturn {
        CCounters<Counters, uint32_t>& counters;
        ~CountOnReturn() { counters.Add(&Counters::draws); }
    } counted{counters};
    if (!decoderOpen)
        return;
    if (!decoder.Decode(data, length, nullptr)) {
        if (!decoder.SizeDiffers())
            return;
        // The stream is not the size its header announced, or it changed
        // size: lay pictures out anew at the size that came.
        // A refused size drops the picture and keeps the old layout.
        int32_t w = decoder.PictureWidth(), h = decoder.PictureHeight();
        if (!SizeAllowed(w, h)) {
            refusals.causes |= kStreamSizeRefused;
            refusals.streamWidth = w;
            refusals.streamHeight = h;
            return;
        }
        if (!Resize(w, h) || !decoder.CopyPicture(nullptr))
            return;
    }
    const platform::PicturePlanes planes = decoder.Planes();
    meter.Feed(planes.data[0], planes.stride[0], planes.width, planes.height,
               planes.colour.fullRange, keyFrame != 0, float(session->pictureBlackLevel.load()),
               CPictureMeter::Clock::now());
    platform::CVideoWindow* target = window;
    if (!target)
        return;
    platform::DrawRect dst{session->drawLeft, session->drawTop, session->drawWidth,
                           session->drawHeight};
    // Lent where the decoder made it: the window holds it rather than copy it.
    platform::PicturePlanes picture = decoder.Lend();
    target->Present(picture, dst, keyFrame != 0);
    if (picture.hold)
        picture.hold->Release();
    counters.Add(&Counters::pictures);
}

void CVideoRenderer::Retarget(SessionContext* s) {
    if (!open)
        return;
    session = s;
    window = s->videoWindow;
}

void CVideoRenderer::Close() {
    if (!open)
        return;
    open = false;
    window = nullptr;
    decoder.Close();
    decoderOpen = false;
    refusals = {};
    width = height = 0;
    counters.Add(&Counters::closes);
}

CVideoRenderer::Counters CVideoRenderer::GetCounters() const {
    return counters.Snapshot();
}
