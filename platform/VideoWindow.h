// A window that decoded video is drawn into. The decoding thread hands it
// packed I420 pictures; the window converts, stretches and shows them on its
// own thread.
#pragma once

#include <cstdint>

namespace platform {

struct DrawRect {
    int32_t left = 0;
    int32_t top = 0;
    int32_t width = 0;
    int32_t height = 0;
};

class CVideoWindow {
public:
    virtual ~CVideoWindow() = default;

    // One packed I420 picture of width x height (Y, then U, then V, each
    // plane row after row with no padding; chroma planes width/2 x height/2),
    // to be drawn stretched into dst. The picture is copied before the call
    // returns. keyFrame is the key-frame flag of the packet it came from.
    // Safe to call from any thread.
    virtual void Present(const uint8_t* i420, int32_t width, int32_t height,
                         const DrawRect& dst, bool keyFrame) = 0;
};

} // namespace platform
