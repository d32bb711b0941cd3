// A video window, drawn with OpenGL where it has a graphics processor: the Y
// plane goes to a single-channel texture and U and V to one two-channel
// texture, a shader converts them to RGB with the picture's own matrix and
// range, and the quad is stretched into the destination rectangle, filtered
// linearly where it is enlarged. Any thread may present; only the newest
// picture is kept, so a slow display drops pictures instead of queueing them.
//
// Where OpenGL renders in software, it is not used at all: the CPU converts
// each picture straight to the size it is shown at, into an image the
// window system takes from shared memory, and the overlay is drawn into the
// same image. There even OpenGL's plain copy of a converted picture costs
// more than converting and scaling it. (Forced to OpenGL there, a picture
// shown at a quarter of its own pixel count or more is still converted on
// the CPU and only copied or stretched by the renderer.)
//
// The picture is drawn into a native child window of its own, and only when
// a new one has come: the rest of the top-level window is not composed again
// for every picture, as it would be for a widget that renders off screen.
// While there is no picture, that window is hidden and the widget shows
// black, and whatever its siblings lay over it.
#pragma once

#include "platform/VideoWindow.h"

#include <QImage>
#include <QPoint>
#include <QTimer>
#include <QWidget>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <vector>

namespace platform {

class CSurfaceWindow;
class CPictureWindow;
class CImageWindow;

// A piece of what is laid over the picture: an image at its own size (its
// device pixel ratio counts), its top left at 'at' in widget pixels.
struct OverlayPiece {
    QImage image;
    QPoint at;
    bool operator==(const OverlayPiece&) const = default;
};

class CVideoSurface : public QWidget, public CVideoWindow {
    Q_OBJECT

public:
    explicit CVideoSurface(QWidget* parent = nullptr);
    ~CVideoSurface() override;

    using CVideoWindow::Present;
    void Present(const PicturePlanes& picture, const DrawRect& dst, bool keyFrame) override;
    // Drops the picture; the surface shows black until the next one.
    void Clear();

    struct Counters {
        uint32_t presented = 0; // pictures handed in
        uint32_t painted = 0;   // of those, pictures the display took up
        bool lastKeyFrame = false;
        bool pending = false; // a picture waits for the next paint
    };
    Counters GetCounters() const;

    // What the surface shows now (taking up a waiting picture first), drawn
    // off screen at the widget's size and read back.
    QImage grabFramebuffer();

    // On the OpenGL path, where pictures are converted to RGB: chosen by
    // the renderer and the sizes, or always by the shader, or always on the
    // CPU (where the driver takes BGRA textures). GUI thread only.
    enum class ConversionPlace { Automatic, Shader, Cpu };
    void SetConversionPlace(ConversionPlace place);

    // How pictures reach the screen: drawn with OpenGL, or finished on the
    // CPU as images the window system copies. Automatic takes the images
    // where OpenGL renders in software (or is missing), and is chosen once,
    // as the surface is made; setting another path makes the window anew.
    // GUI thread only.
    enum class DisplayPath { Automatic, OpenGL, Image };
    void SetDisplayPath(DisplayPath path);
    // The path in use: OpenGL or Image.
    DisplayPath DisplayPathInUse() const { return pathInUse; }

    // Images laid over the picture, blended by their alpha; none takes them
    // away. They lie over the black as well when there is no picture. Only
    // the pieces are blended, not the space between them, and a piece is
    // sent to the display again only when its image has changed. GUI
    // thread only.
    void SetOverlay(std::vector<OverlayPiece> pieces);
    void SetOverlay(const QImage& image, QPoint at);

protected:
    void resizeEvent(QResizeEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    // The number-th picture presented has just been drawn on the screen.
    virtual void PictureDrawn(uint32_t number) { (void)number; }

private:
    friend class CSurfaceWindow;
    friend class CPictureWindow;
    friend class CImageWindow;

    // One picture as the display keeps it: held where its maker keeps it, or
    // else copied as Y, then U and V interleaved, as the textures take them.
    struct Picture {
        PicturePlanes held; // its hold set while held
        std::vector<uint8_t> planes;
        int32_t width = 0;
        int32_t height = 0;
        YuvColour colour;
        DrawRect dst;
        bool keyFrame = false;
        uint32_t number = 0; // of the pictures presented
    };

    // Lets go of a held picture.
    static void LetGo(Picture& picture);
    // The window of the path in use, in place of any other.
    void MakeWindow(DisplayPath path);
    void ScheduleUpdate();
    void PaintSoon();
    // On the GUI thread: takes up the newest picture, if any, into 'shown'.
    // True when one was taken up.
    bool TakeNewest();

    // The presenting thread writes 'newest'; the paint swaps it with 'shown'.
    // Both keep their storage, so steady sizes allocate nothing per picture.
    mutable std::mutex mutex;
    Picture newest;
    bool hasNewest = false;
    bool cleared = false;
    Picture shown;
    bool hasShown = false;
    uint64_t shownNumber = 0; // counts the pictures taken up; GUI thread only
    std::atomic<bool> updateQueued{false};
    std::chrono::steady_clock::time_point lastPaint; // GUI thread only

    std::atomic<uint32_t> presented{0};
    std::atomic<uint32_t> painted{0};
    std::atomic<bool> lastKeyFrame{false};

    ConversionPlace conversionPlace = ConversionPlace::Automatic; // GUI thread only

    // GUI thread only; the number counts the images set.
    std::vector<OverlayPiece> overlay;
    uint64_t overlayNumber = 0;
    uint64_t overlayDrawn = 0; // the number last drawn with a picture
    QTimer* overlayTimer;

    DisplayPath pathInUse = DisplayPath::OpenGL;
    CSurfaceWindow* window = nullptr;
    QWidget* container = nullptr;
};

} // namespace platform
