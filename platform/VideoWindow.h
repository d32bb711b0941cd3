// A window that decoded video is drawn into. The decoding thread hands it
// 8-bit 4:2:0 pictures; the window converts, stretches and shows them on its
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

// How a picture's Y, U and V turn into RGB: the matrix and the range its
// stream signals (or the one assumed when it signals none).
enum class YuvMatrix : uint8_t { Bt601, Bt709 };
struct YuvColour {
    YuvMatrix matrix = YuvMatrix::Bt601;
    bool fullRange = false; // Y and U, V in 0..255 rather than 16..235 and 16..240
};

// A hold on a picture's planes: while any holder has not let go, they stay
// where they are, unchanged. Taken and released from any thread; the last
// release may come after whatever made the picture has gone.
class CPictureHold {
public:
    virtual ~CPictureHold() = default;
    virtual void Take() = 0;
    virtual void Release() = 0;
};

// One picture as the decoder holds it: the Y plane of width x height, the U
// and V planes of (width / 2) x (height / 2), the halves truncated, each
// row after row from the top, stride bytes from one row to the next.
struct PicturePlanes {
    const uint8_t* data[3] = {nullptr, nullptr, nullptr};
    int32_t stride[3] = {0, 0, 0};
    int32_t width = 0;
    int32_t height = 0;
    YuvColour colour;
    // When set, the window may take a hold and keep the planes where they
    // are, rather than copy them.
    CPictureHold* hold = nullptr;
};

// Pictures with a side beyond this are not shown: no decoder of ours makes
// them and textures of that size are beyond many drivers.
constexpr int32_t kMaxPictureSide = 8192;

class CVideoWindow {
public:
    virtual ~CVideoWindow() = default;

    // To be drawn stretched into dst. The picture is copied, or held, before
    // the call returns. keyFrame is the key-frame flag of the packet it came
    // from. Safe to call from any thread.
    virtual void Present(const PicturePlanes& picture, const DrawRect& dst, bool keyFrame) = 0;

    // A packed I420 picture (Y, then U, then V, each plane row after row with
    // no padding). Pictures that cannot be shown are not looked into.
    void Present(const uint8_t* i420, int32_t width, int32_t height, const DrawRect& dst,
                 bool keyFrame, YuvColour colour = {}) {
        PicturePlanes planes;
        if (i420 && width > 0 && height > 0 && width <= kMaxPictureSide &&
            height <= kMaxPictureSide) {
            const int64_t luma = int64_t(width) * height;
            planes.data[0] = i420;
            planes.data[1] = i420 + luma;
            planes.data[2] = i420 + luma + int64_t(width / 2) * (height / 2);
        }
        planes.stride[0] = width;
        planes.stride[1] = planes.stride[2] = width / 2;
        planes.width = width;
        planes.height = height;
        planes.colour = colour;
        Present(planes, dst, keyFrame);
    }
};

} // namespace platform
