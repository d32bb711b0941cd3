// The operator's instruments as a picture laid over the video: slim level
// meters along the bottom edge while the link is up (programme and return,
// peak with its hold, momentary loudness, the -18 dBFS alignment mark), and
// the link's statistics in a dark translucent box at the top right on
// demand; the top left is left to the recording indicator. Painted
// on the GUI thread into images that the video surface blends over the
// picture, so that nothing is laid out anew and any picture stays readable;
// one image for each, so that the space between them costs nothing.
#pragma once

#include "levels/CLevelMeter.h"
#include "instruments/CLinkStatistics.h"
#include "platform/video/VideoSurface.h"

#include <QImage>
#include <QPoint>
#include <QSize>
#include <QString>

#include <cstdint>
#include <vector>

class COverlay {
public:
    struct Content {
        bool meters = false;
        CLevelMeter::Reading programme, returned;
        // The box, when shown; its text changes only with generation.
        const CLinkStatistics* statistics = nullptr;
        uint64_t generation = 0;
        // The recording indicator at the top left, where no banner shows it
        // (full screen); empty for none.
        QString note;
    };

    COverlay() = default;
    virtual ~COverlay() = default;

    // The images for a picture area of size (device-independent pixels) at
    // the screen's pixel ratio, each placed from the area's top left; none
    // when there is nothing to show.
    std::vector<platform::OverlayPiece> Paint(const Content& content, QSize area, qreal pixelRatio);

    // The scale of the meters.
    static constexpr float kTopDb = 0.0f;
    static constexpr float kBottomDb = -60.0f;
    static constexpr float kAlignmentDb = -18.0f;

private:
    void PaintBox(const CLinkStatistics& statistics, int unit, qreal pixelRatio);

    QImage box;
    uint64_t boxGeneration = UINT64_MAX;
    int boxUnit = 0;
};
