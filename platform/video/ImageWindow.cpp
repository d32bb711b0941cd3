// The display path for where OpenGL renders in software: each picture is
// converted and scaled on the CPU straight into the window's backing store,
// the overlay drawn over it there, and the window system copies what changed
// to the screen, from shared memory where it offers it (X11's MIT-SHM, which
// Qt's backing store uses wherever the server is local).
#include "SurfaceWindow.h"

#include <QBackingStore>
#include <QExposeEvent>
#include <QPainter>
#include <QRegion>

#include <algorithm>
#include <bit>
#include <cmath>
#include <memory>
#include <vector>

namespace platform {

class CImageWindow : public CSurfaceWindow {
public:
    explicit CImageWindow(CVideoSurface* owner) : CSurfaceWindow(owner) {
        setSurfaceType(QSurface::RasterSurface);
        store = std::make_unique<QBackingStore>(this);
    }

    void Render() override;
    QImage Grab(QSize size, qreal ratio) override;

protected:
    void exposeEvent(QExposeEvent*) override {
        if (isExposed()) {
            whole = true;
            Render();
        }
    }

private:
    // Takes up the newest picture and draws what the surface shows into
    // image, in its device pixels: all of it, or only what may have changed
    // since the last screen drawing. Returns what it drew.
    QRegion Draw(QImage& image, bool all, bool screen);
    // Whether the converter's B, G, R, 255 are the image's own pixels.
    static bool Writable(const QImage& image);

    std::unique_ptr<QBackingStore> store;
    CBgraScaler scaler;
    QImage scratch; // where the backing store's own image cannot be written
    // What the screen was last given, in device pixels.
    bool whole = true;
    QRect lastTarget;
    std::vector<QRect> lastPieces;
};

CSurfaceWindow* NewImageWindow(CVideoSurface* owner) {
    return new CImageWindow(owner);
}

bool CImageWindow::Writable(const QImage& image) {
    if constexpr (std::endian::native != std::endian::little)
        return false;
    switch (image.format()) {
    case QImage::Format_RGB32:
    case QImage::Format_ARGB32:
    case QImage::Format_ARGB32_Premultiplied:
        return true;
    default:
        return false;
    }
}

void CImageWindow::Render() {
    const QSize logical = size();
    if (!isExposed() || logical.isEmpty())
        return;
    if (store->size() != logical) {
        store->resize(logical);
        whole = true;
    }
    const QRect all(QPoint(0, 0), logical);
    const uint32_t before = owner->painted;
    store->beginPaint(all);
    QPaintDevice* device = store->paintDevice();
    QRegion drawn;
    if (device && device->devType() == QInternal::Image &&
        Writable(*static_cast<QImage*>(device))) {
        drawn = Draw(*static_cast<QImage*>(device), whole, true);
    } else if (device) {
        const qreal ratio = devicePixelRatio();
        if (scratch.size() != logical * ratio)
            scratch = QImage(logical * ratio, QImage::Format_RGB32);
        scratch.setDevicePixelRatio(ratio);
        Draw(scratch, true, true);
        QPainter painter(device);
        painter.setCompositionMode(QPainter::CompositionMode_Source);
        painter.drawImage(QPoint(0, 0), scratch);
        drawn = all;
    }
    store->endPaint();
    // The region in device-independent pixels, rounded outwards.
    const qreal ratio = devicePixelRatio();
    QRegion flushed;
    for (const QRect& r : drawn)
        flushed |=
            QRect(QPoint(int(std::floor(r.left() / ratio)), int(std::floor(r.top() / ratio))),
                  QPoint(int(std::ceil((r.right() + 1) / ratio)) - 1,
                         int(std::ceil((r.bottom() + 1) / ratio)) - 1));
    if (!flushed.isEmpty())
        store->flush(flushed & all);
    whole = false;
    if (owner->painted != before)
        owner->PictureDrawn(owner->shown.number);
}

QImage CImageWindow::Grab(QSize size, qreal ratio) {
    if (size.isEmpty())
        return {};
    QImage image(size * ratio, QImage::Format_RGB32);
    image.setDevicePixelRatio(ratio);
    Draw(image, true, false);
    image.setDevicePixelRatio(1);
    return image;
}

QRegion CImageWindow::Draw(QImage& image, bool all, bool screen) {
    const qreal ratio = image.devicePixelRatio();
    if (owner->TakeNewest())
        ++owner->painted;
    const Picture& shown = owner->shown;
    const DrawRect& r = shown.dst;
    const bool picture = owner->hasShown && r.width > 0 && r.height > 0;
    const QRect bounds = image.rect();
    const QRect target = picture ? QRect(qRound(r.left * ratio), qRound(r.top * ratio),
                                         qRound(r.width * ratio), qRound(r.height * ratio))
                                 : QRect();
    const QRect visible = target & bounds;
    std::vector<QRect> pieces;
    for (const OverlayPiece& piece : owner->overlay)
        pieces.push_back(QRect(QPoint(qRound(piece.at.x() * ratio), qRound(piece.at.y() * ratio)),
                               piece.image.size()) &
                         bounds);

    // The picture is drawn whole each time; the rest only where it may have
    // changed: where the overlay lies or lay, or all of it when the picture
    // moved.
    QRegion region = all || target != lastTarget ? QRegion(bounds) : QRegion(visible);
    for (const auto* rects : {&pieces, &lastPieces})
        for (const QRect& rect : *rects)
            region |= rect;
    const QRegion black = region - visible;
    for (const QRect& rect : black)
        for (int y = rect.top(); y <= rect.bottom(); ++y) {
            auto* row = reinterpret_cast<uint32_t*>(image.scanLine(y)) + rect.left();
            std::fill_n(row, rect.width(), 0xFF000000u);
        }
    if (!visible.isEmpty()) {
        uint8_t* out = image.bits() + ptrdiff_t(visible.top()) * image.bytesPerLine() +
                       ptrdiff_t(visible.left()) * 4;
        scaler.Scale(SourceOf(shown), target.width(), target.height(),
                     {visible.left() - target.left(), visible.top() - target.top(), visible.width(),
                      visible.height()},
                     out, int32_t(image.bytesPerLine()));
    }
    if (!owner->overlay.empty()) {
        QPainter painter(&image);
        for (const OverlayPiece& piece : owner->overlay)
            painter.drawImage(piece.at, piece.image);
    }
    if (screen) {
        owner->overlayDrawn = owner->overlayNumber;
        lastTarget = target;
        lastPieces = std::move(pieces);
    }
    return region;
}

} // namespace platform
