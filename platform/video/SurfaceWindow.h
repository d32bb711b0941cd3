// The native window a video surface draws its pictures into, by one path or
// the other. GUI thread only.
#pragma once

#include "VideoSurface.h"
#include "YuvToBgra.h"

#include <QImage>
#include <QWindow>

namespace platform {

class CSurfaceWindow : public QWindow {
public:
    explicit CSurfaceWindow(CVideoSurface* owner) : owner(owner) {
        // Mouse and keys go to the widgets beneath, as they would to the
        // surface itself: the full-screen window's Esc, tool tips, context
        // menus.
        setFlags(flags() | Qt::WindowTransparentForInput | Qt::WindowDoesNotAcceptFocus);
    }

    // Draws what the surface shows to the screen; nothing while the window
    // is not exposed.
    virtual void Render() = 0;
    // Draws it off screen at size (device-independent pixels) and reads it
    // back.
    virtual QImage Grab(QSize size, qreal ratio) = 0;

protected:
    using Picture = CVideoSurface::Picture;
    // The shown picture's planes as the converter reads them.
    static YuvSource SourceOf(const Picture& picture);

    CVideoSurface* owner;
};

// Whether OpenGL renders on the CPU here (or is missing); asked once.
bool SoftwareOpenGL();

// The window that finishes pictures on the CPU.
CSurfaceWindow* NewImageWindow(CVideoSurface* owner);

} // namespace platform
