// The H.264 decoder of the video channel: one packet in, one picture out,
// as planes to be read where the decoder holds them or copied packed as I420.
// Slice threading and the low-delay flag give each picture from its own
// packet when the stream has no B-frames.
#pragma once

#include "codec/CAvCodec.h"
#include "codec/CAvUtil.h"
#include "core/SessionContext.h"
#include "platform/VideoWindow.h"

#include <cstdint>

class CVideoDecoder : public CAvUtil, public CAvCodec {
public:
    CVideoDecoder();
    ~CVideoDecoder() override;

    // Opens the decoder for pictures of the session's video size; non-zero on
    // success. The stream must carry its parameter sets in band.
    int32_t Open(SessionContext* session);
    // Decodes one packet. Non-zero when a picture of the current picture size
    // came out; it is held, and copied into out as packed I420 unless out is
    // null. A picture of any other size is held only: SizeDiffers() then
    // tells so, and PictureWidth()/PictureHeight() give its size.
    int32_t Decode(const uint8_t* data, uint32_t length, uint8_t* out);
    // Closes the decoder and frees the picture; safe to repeat.
    void Close();

    // The size of picture the caller's buffer is laid out for.
    void SetPictureSize(int32_t width, int32_t height);
    // Copies the held picture when it has the current picture size.
    int32_t CopyPicture(uint8_t* out);
    bool SizeDiffers() const { return sizeDiffers; }
    int32_t PictureWidth() const;
    int32_t PictureHeight() const;
    // The held picture where the decoder keeps it, with its colour; valid
    // until the next Decode or Close. Empty when none is held.
    platform::PicturePlanes Planes() const;
    // The held picture handed over where it is: the planes carry a hold,
    // taken once for the caller, that keeps them valid until the last holder
    // releases it, whatever the decoder does meanwhile (it may even be
    // destroyed). The decoder holds the picture no longer. Without a hold
    // (nothing left to lend it in), the planes are those of Planes().
    platform::PicturePlanes Lend();

    // The colour a picture signals. One that signals neither matrix takes
    // BT.709 from 720 lines up and BT.601 below, as video of those sizes is
    // made; one that signals no range is limited range.
    static platform::YuvColour ColourOf(const AVFrame& picture);

    // Bytes a packed I420 copy of width x height writes: Y, then U and V of
    // (width / 2) x (height / 2) each.
    static int64_t CopySize(int32_t width, int32_t height);

    // The largest picture accepted, in pixels (4096 x 2304): the stream's
    // parameter sets come from the network, and every reference picture the
    // decoder keeps is this large at most.
    static constexpr int64_t kMaxPixels = int64_t(4096) * 2304;

    const AVCodec* codec = nullptr;
    AVCodecContext* context = nullptr;
    AVFrame* picture = nullptr;
    int32_t gotPicture = 0;

private:
    class CLender;
    CLender* lender = nullptr;
    // Receives into the spare frame so that the newest of several pictures
    // ends up in 'picture'.
    AVFrame* spare = nullptr;
    AVPacket* packet = nullptr;
    int32_t width = 0;
    int32_t height = 0;
    bool sizeDiffers = false;
};
