// A video window drawn with OpenGL: the three I420 planes go to single-channel
// textures, a shader converts them to RGB and the quad is stretched into the
// destination rectangle with linear filtering. Any thread may present; only
// the newest picture is kept, so a slow display drops pictures instead of
// queueing them.
#pragma once

#include "platform/VideoWindow.h"

#include <QOpenGLFunctions>
#include <QOpenGLWidget>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

class QOpenGLShaderProgram;

namespace platform {

class CVideoSurface : public QOpenGLWidget, public CVideoWindow, protected QOpenGLFunctions {
    Q_OBJECT

public:
    explicit CVideoSurface(QWidget* parent = nullptr);
    ~CVideoSurface() override;

    void Present(const uint8_t* i420, int32_t width, int32_t height, const DrawRect& dst,
                 bool keyFrame) override;
    // Drops the picture; the surface shows black until the next one.
    void Clear();

    struct Counters {
        uint32_t presented = 0; // pictures handed in
        uint32_t painted = 0;   // of those, pictures the display took up
        bool lastKeyFrame = false;
        bool pending = false; // a picture waits for the next paint
    };
    Counters GetCounters() const;

protected:
    void initializeGL() override;
    void paintGL() override;

private:
    struct Picture {
        std::vector<uint8_t> planes;
        int32_t width = 0;
        int32_t height = 0;
        DrawRect dst;
        bool keyFrame = false;
    };

    void ScheduleUpdate();

    // The release of our GL objects when the widget's context goes away.
    QMetaObject::Connection contextGone;
    void PaintSoon();
    void Upload(const Picture& picture);
    void ReleaseGL();

    // The presenting thread writes 'newest'; the paint swaps it with 'shown'.
    // Both keep their storage, so steady sizes allocate nothing per picture.
    mutable std::mutex mutex;
    Picture newest;
    bool hasNewest = false;
    bool cleared = false;
    Picture shown;
    bool hasShown = false;
    std::atomic<bool> updateQueued{false};
    std::chrono::steady_clock::time_point lastPaint; // GUI thread only

    std::atomic<uint32_t> presented{0};
    std::atomic<uint32_t> painted{0};
    std::atomic<bool> lastKeyFrame{false};

    std::unique_ptr<QOpenGLShaderProgram> program;
    GLuint textures[3] = {0, 0, 0};
    int32_t textureWidth = 0;
    int32_t textureHeight = 0;
    GLint internalFormat = 0;
    GLenum pixelFormat = 0;
};

} // namespace platform
