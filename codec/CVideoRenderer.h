// The video channel: decodes H.264 packets and lends every picture, where
// the decoder made it and with its colour, to the session's video window, to
// be drawn stretched into the session's rectangle. Nothing copies a picture
// on the way.
#pragma once

#include "codec/CVideoDecoder.h"
#include "core/CCounters.h"
#include "core/SessionContext.h"
#include "levels/CPictureMeter.h"

#include <cstdint>

class CVideoRenderer {
public:
    CVideoRenderer();
    virtual ~CVideoRenderer();
    CVideoRenderer(const CVideoRenderer&) = delete;
    CVideoRenderer& operator=(const CVideoRenderer&) = delete;

    // Non-zero when the decoder opened. A header size that is refused still
    // opens the decoder: pictures then take the size the stream carries.
    int32_t Open(SessionContext* session);
    void Draw(const uint8_t* data, uint32_t length, int32_t keyFrame);
    void Close();
    // Pictures from now on go to the window the session names now; the
    // decoder goes on, so the next picture decoded shows there without
    // waiting for a key frame. Nothing when the channel is closed.
    void Retarget(SessionContext* session);

    struct Counters {
        uint32_t opens = 0;    // Open calls
        uint32_t draws = 0;    // Draw calls
        uint32_t pictures = 0; // pictures handed to the window
        uint32_t closes = 0;   // Close calls that released an open channel
    };
    Counters GetCounters() const;
    // Every picture decoded, for the alarms; kept over openings, since the
    // channel is opened again at every full-screen switch.
    const CPictureMeter& Meter() const { return meter; }

    // Why pictures of the current opening are not shown as announced, one
    // bit per cause, with the sizes refused; cleared by Open.
    static constexpr uint32_t kHeaderSizeRefused = 1; // laid out at the stream's size instead
    static constexpr uint32_t kStreamSizeRefused = 2; // nothing shown
    static constexpr uint32_t kDecoderNotOpened = 4;  // nothing shown
    struct Refusals {
        uint32_t causes = 0;
        int32_t headerWidth = 0, headerHeight = 0;
        int32_t streamWidth = 0, streamHeight = 0;
    };
    const Refusals& GetRefusals() const { return refusals; }

    // Picture sizes come from the network: larger ones are refused, so that
    // no header or stream makes the channel allocate more than this allows
    // (a side of 8192 at most, 4096 x 2304 pixels in all: 14 MB of picture).
    static constexpr int32_t kMaxSide = 8192;
    static constexpr int64_t kMaxArea = CVideoDecoder::kMaxPixels;
    static bool SizeAllowed(int32_t width, int32_t height);
    // width x height x 3 / 2 in 32-bit arithmetic (175 x 99 gives 25987).
    static int32_t ImageSize(int32_t width, int32_t height);

    // For tests: the size pictures are laid out for, and the length of such
    // a picture packed as I420 (0 when none is laid out).
    int32_t Width() const { return width; }
    int32_t Height() const { return height; }
    int32_t BufferSize() const { return width > 0 ? ImageSize(width, height) : 0; }

private:
    // Lays pictures out at width x height.
    bool Resize(int32_t width, int32_t height);

    CVideoDecoder decoder;
    SessionContext* session = nullptr;
    platform::CVideoWindow* window = nullptr;
    int32_t width = 0;
    int32_t height = 0;
    bool decoderOpen = false;
    bool open = false;
    Refusals refusals;
    CPictureMeter meter;
    CCounters<Counters, uint32_t> counters;
};
