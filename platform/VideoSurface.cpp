#include "VideoSurface.h"

#include <QMetaObject>
#include <QOpenGLContext>
#include <QOpenGLShaderProgram>
#include <QScreen>
#include <QTimer>

#include <cstring>
#include <utility>

namespace platform {

namespace {

const char* const kVertexShader = R"(
attribute highp vec2 position;
attribute highp vec2 texCoord;
varying highp vec2 coord;
void main() {
    coord = texCoord;
    gl_Position = vec4(position, 0.0, 1.0);
}
)";

// ITU-R BT.601, limited range: Y in 16..235, U and V in 16..240.
const char* const kFragmentShader = R"(
uniform sampler2D planeY;
uniform sampler2D planeU;
uniform sampler2D planeV;
varying highp vec2 coord;
void main() {
    highp float y = 1.1643836 * (texture2D(planeY, coord).r - 0.0627451);
    highp float u = texture2D(planeU, coord).r - 0.5019608;
    highp float v = texture2D(planeV, coord).r - 0.5019608;
    highp vec3 rgb = vec3(y + 1.5960268 * v, y - 0.3917623 * u - 0.8129676 * v, y + 2.0172321 * u);
    gl_FragColor = vec4(clamp(rgb, 0.0, 1.0), 1.0);
}
)";

// A strip over the whole viewport; texture row 0 is the picture's top row.
const GLfloat kPositions[] = {-1.f, -1.f, 1.f, -1.f, -1.f, 1.f, 1.f, 1.f};
const GLfloat kTexCoords[] = {0.f, 1.f, 1.f, 1.f, 0.f, 0.f, 1.f, 0.f};

#ifndef GL_R8
#define GL_R8 0x8229
#endif
#ifndef GL_RED
#define GL_RED 0x1903
#endif
#ifndef GL_LUMINANCE
#define GL_LUMINANCE 0x1909
#endif

// Larger pictures than this are not shown: no decoder of ours makes them and
// textures of that size are beyond many drivers.
constexpr int32_t kMaxSide = 8192;

} // namespace

CVideoSurface::CVideoSurface(QWidget* parent) : QOpenGLWidget(parent) {}

CVideoSurface::~CVideoSurface() {
    // The base class destroys the context after this object has stopped
    // being a CVideoSurface: its signal must not reach us then.
    disconnect(contextGone);
    if (context()) {
        makeCurrent();
        ReleaseGL();
        doneCurrent();
    }
}

void CVideoSurface::Present(const uint8_t* i420, int32_t width, int32_t height, const DrawRect& dst,
                            bool keyFrame) {
    if (!i420 || width < 2 || height < 2 || width > kMaxSide || height > kMaxSide)
        return;
    size_t luma = size_t(width) * size_t(height);
    size_t chroma = size_t(width / 2) * size_t(height / 2);
    {
        std::lock_guard guard(mutex);
        newest.planes.resize(luma + 2 * chroma);
        std::memcpy(newest.planes.data(), i420, luma + 2 * chroma);
        newest.width = width;
        newest.height = height;
        newest.dst = dst;
        newest.keyFrame = keyFrame;
        hasNewest = true;
        cleared = false;
    }
    ++presented;
    lastKeyFrame = keyFrame;
    ScheduleUpdate();
}

void CVideoSurface::Clear() {
    {
        std::lock_guard guard(mutex);
        hasNewest = false;
        cleared = true;
    }
    ScheduleUpdate();
}

CVideoSurface::Counters CVideoSurface::GetCounters() const {
    std::lock_guard guard(mutex);
    return {presented.load(), painted.load(), lastKeyFrame.load(), hasNewest};
}

void CVideoSurface::ScheduleUpdate() {
    // At most one request waits in the GUI thread's queue; the paint it
    // causes takes whatever picture is newest by then.
    if (updateQueued.exchange(true))
        return;
    QMetaObject::invokeMethod(
        this, [this] { PaintSoon(); }, Qt::QueuedConnection);
}

void CVideoSurface::PaintSoon() {
    // Painting more often than the screen refreshes shows nothing more and
    // takes time from decoding; such pictures wait for the next refresh, and
    // newer ones replace them meanwhile.
    qreal hz = screen() ? screen()->refreshRate() : 0;
    auto interval = std::chrono::microseconds(int64_t(1e6 / (hz >= 20 && hz <= 500 ? hz : 60)));
    auto since = std::chrono::steady_clock::now() - lastPaint;
    if (since < interval) {
        auto wait = std::chrono::ceil<std::chrono::milliseconds>(interval - since);
        QTimer::singleShot(wait, this, [this] { PaintSoon(); });
        return;
    }
    updateQueued = false;
    repaint();
}

void CVideoSurface::initializeGL() {
    initializeOpenGLFunctions();
    // A new top-level window gives the widget a new context; the old one's
    // objects go with it and the picture is uploaded again.
    disconnect(contextGone);
    contextGone = connect(context(), &QOpenGLContext::aboutToBeDestroyed, this, [this] {
        makeCurrent();
        ReleaseGL();
        doneCurrent();
    });

    QOpenGLContext* gl = context();
    bool redTextures = gl->isOpenGLES() ? gl->format().majorVersion() >= 3
                                        : (gl->format().majorVersion() >= 3 ||
                                           gl->hasExtension("GL_ARB_texture_rg"));
    internalFormat = redTextures ? GL_R8 : GL_LUMINANCE;
    pixelFormat = redTextures ? GL_RED : GL_LUMINANCE;

    program = std::make_unique<QOpenGLShaderProgram>();
    if (!program->addShaderFromSourceCode(QOpenGLShader::Vertex, kVertexShader) ||
        !program->addShaderFromSourceCode(QOpenGLShader::Fragment, kFragmentShader) ||
        !program->link()) {
        program.reset();
        return;
    }
    program->bind();
    program->setUniformValue("planeY", 0);
    program->setUniformValue("planeU", 1);
    program->setUniformValue("planeV", 2);
    program->release();

    glGenTextures(3, textures);
    for (GLuint texture : textures) {
        glBindTexture(GL_TEXTURE_2D, texture);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
    }
    glBindTexture(GL_TEXTURE_2D, 0);
    textureWidth = textureHeight = 0;
}

void CVideoSurface::ReleaseGL() {
    if (textures[0])
        glDeleteTextures(3, textures);
    textures[0] = textures[1] = textures[2] = 0;
    textureWidth = textureHeight = 0;
    program.reset();
}

void CVideoSurface::Upload(const Picture& picture) {
    const int32_t w = picture.width, h = picture.height;
    const int32_t sizes[3][2] = {{w, h}, {w / 2, h / 2}, {w / 2, h / 2}};
    const uint8_t* plane = picture.planes.data();
    bool resize = w != textureWidth || h != textureHeight;
    glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
    for (int i = 0; i < 3; ++i) {
        glBindTexture(GL_TEXTURE_2D, textures[i]);
        if (resize)
            glTexImage2D(GL_TEXTURE_2D, 0, internalFormat, sizes[i][0], sizes[i][1], 0, pixelFormat,
                         GL_UNSIGNED_BYTE, plane);
        else
            glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, sizes[i][0], sizes[i][1], pixelFormat,
                            GL_UNSIGNED_BYTE, plane);
        plane += size_t(sizes[i][0]) * size_t(sizes[i][1]);
    }
    glBindTexture(GL_TEXTURE_2D, 0);
    textureWidth = w;
    textureHeight = h;
}

void CVideoSurface::paintGL() {
    lastPaint = std::chrono::steady_clock::now();
    bool fresh = false;
    {
        std::lock_guard guard(mutex);
        if (cleared) {
            hasShown = false;
            cleared = false;
        }
        if (hasNewest) {
            std::swap(newest, shown);
            hasNewest = false;
            hasShown = true;
            fresh = true;
        }
    }

    glClearColor(0.f, 0.f, 0.f, 1.f);
    glClear(GL_COLOR_BUFFER_BIT);
    if (!hasShown || !program)
        return;
    // After a context change the textures are empty: upload the picture again.
    if (fresh || textureWidth == 0)
        Upload(shown);
    if (fresh)
        ++painted;

    // The rectangle is in widget pixels from the top left; GL counts from
    // the bottom left in device pixels. What lies outside stays black.
    const qreal ratio = devicePixelRatioF();
    const DrawRect& r = shown.dst;
    if (r.width <= 0 || r.height <= 0)
        return;
    glViewport(qRound(r.left * ratio), qRound((height() - r.top - r.height) * ratio),
               qRound(r.width * ratio), qRound(r.height * ratio));

    program->bind();
    program->enableAttributeArray("position");
    program->enableAttributeArray("texCoord");
    program->setAttributeArray("position", kPositions, 2);
    program->setAttributeArray("texCoord", kTexCoords, 2);
    for (int i = 0; i < 3; ++i) {
        glActiveTexture(GL_TEXTURE0 + i);
        glBindTexture(GL_TEXTURE_2D, textures[i]);
    }
    glDrawArrays(GL_TRIANGLE_STRIP, 0, 4);
    for (int i = 2; i >= 0; --i) {
        glActiveTexture(GL_TEXTURE0 + i);
        glBindTexture(GL_TEXTURE_2D, 0);
    }
    program->disableAttributeArray("position");
    program->disableAttributeArray("texCoord");
    program->release();
    glViewport(0, 0, qRound(width() * ratio), qRound(height() * ratio));
}

} // namespace platform
