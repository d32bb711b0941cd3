#include "VideoSurface.h"
#include "SurfaceWindow.h"
#include "YuvToBgra.h"

#include <QExposeEvent>
#include <QMetaObject>
#include <QOffscreenSurface>
#include <QOpenGLContext>
#include <QOpenGLFramebufferObject>
#include <QOpenGLFunctions>
#include <QOpenGLShaderProgram>
#include <QPainter>
#include <QResizeEvent>
#include <QScreen>
#include <QTimer>
#include <QWindow>

#include <bit>
#include <cstring>
#include <memory>
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

// The conversion's fixed part; its body, with the colour matrix and range
// written in as numbers, comes from ConversionShader. UV is the swizzle that
// reads U and V from the chroma texture's format.
const char* const kFragmentShader = R"(
uniform sampler2D planeY;
uniform sampler2D planeUV;
varying highp vec2 coord;
void main() {
    highp float y = texture2D(planeY, coord).r;
    highp vec2 c = texture2D(planeUV, coord).UV;
    highp float u = c.x;
    highp float v = c.y;
    gl_FragColor = vec4(RGB, 1.0);
}
)";

// The overlay, its colours premultiplied by its alpha.
const char* const kOverlayShader = R"(
uniform sampler2D image;
varying highp vec2 coord;
void main() {
    gl_FragColor = texture2D(image, coord);
}
)";

// How long a new overlay waits for a picture to go out with.
constexpr std::chrono::milliseconds kOverlayWait{40};

// A strip over the whole viewport; texture row 0 is the picture's top row.
const GLfloat kPositions[] = {-1.f, -1.f, 1.f, -1.f, -1.f, 1.f, 1.f, 1.f};
const GLfloat kTexCoords[] = {0.f, 1.f, 1.f, 1.f, 0.f, 0.f, 1.f, 0.f};

#ifndef GL_R8
#define GL_R8 0x8229
#endif
#ifndef GL_RED
#define GL_RED 0x1903
#endif
#ifndef GL_RG8
#define GL_RG8 0x822B
#endif
#ifndef GL_RG
#define GL_RG 0x8227
#endif
#ifndef GL_LUMINANCE
#define GL_LUMINANCE 0x1909
#endif
#ifndef GL_UNPACK_ROW_LENGTH
#define GL_UNPACK_ROW_LENGTH 0x0CF2
#endif
#ifndef GL_LUMINANCE_ALPHA
#define GL_LUMINANCE_ALPHA 0x190A
#endif
#ifndef GL_BGRA
#define GL_BGRA 0x80E1
#endif

// Renderers that run on the CPU, by the names they give.
bool IsSoftwareRenderer(const QByteArray& renderer) {
    for (const char* name : {"llvmpipe", "softpipe", "Software Rasterizer", "SWR"})
        if (renderer.contains(name))
            return true;
    return false;
}

// The conversion for one matrix and range. Its numbers are written into the
// shader, not passed as uniforms: a software renderer then spends about a
// fifth less on each pixel. What falls outside 0..1 is clamped as it is
// written to the 8-bit target.
QByteArray ConversionShader(const YuvColour& colour, bool rg) {
    const YuvFactors f = FactorsOf(colour);
    const double matrix[3][3] = {{f.luma, 0, f.rv}, {f.luma, f.gu, f.gv}, {f.luma, f.bu, 0}};
    const double offset[3] = {f.black / 255, 128 / 255.0, 128 / 255.0};
    auto number = [](double value) { return QByteArray::number(value, 'f', 9); };
    QByteArray rgb;
    for (int row = 0; row < 3; ++row) {
        double constant = 0;
        QByteArray channel;
        for (int column = 0; column < 3; ++column) {
            const double k = matrix[row][column];
            constant -= k * offset[column];
            if (k != 0)
                channel += "yuv"[column] + QByteArray(" * ") + number(k) + " + ";
        }
        rgb += (row ? ", " : "") + channel + number(constant);
    }
    return QByteArray(kFragmentShader).replace(".UV", rg ? ".rg" : ".ra").replace("RGB", rgb);
}

// Which of the conversions a picture's colours take.
size_t ConversionIndex(const YuvColour& colour) {
    return (colour.matrix == YuvMatrix::Bt709 ? 2 : 0) + (colour.fullRange ? 1 : 0);
}

// The bytes of a moved to the even bytes of a 64-bit word.
uint64_t Spread(uint32_t a) {
    uint64_t t = a;
    t = (t | (t << 16)) & 0x0000FFFF0000FFFFull;
    return (t | (t << 8)) & 0x00FF00FF00FF00FFull;
}

// The U and V planes of a picture as pairs, row after row, the way the
// two-channel texture takes them; four pairs at a time where the byte order
// allows.
void InterleaveChroma(const PicturePlanes& picture, uint8_t* out) {
    const int32_t n = picture.width / 2;
    const uint8_t* u = picture.data[1];
    const uint8_t* v = picture.data[2];
    for (int32_t y = 0; y < picture.height / 2; ++y) {
        int32_t x = 0;
        if constexpr (std::endian::native == std::endian::little) {
            for (; x + 4 <= n; x += 4) {
                uint32_t a, b;
                std::memcpy(&a, u + x, 4);
                std::memcpy(&b, v + x, 4);
                const uint64_t pairs = Spread(a) | Spread(b) << 8;
                std::memcpy(out + 2 * x, &pairs, 8);
            }
        }
        for (; x < n; ++x) {
            out[2 * x] = u[x];
            out[2 * x + 1] = v[x];
        }
        out += 2 * n;
        u += picture.stride[1];
        v += picture.stride[2];
    }
}

} // namespace

// The native window the picture is drawn into, with the GL context, the
// textures and the shader of its surface. GUI thread only.
class CPictureWindow : public CSurfaceWindow {
public:
    explicit CPictureWindow(CVideoSurface* owner);
    ~CPictureWindow() override;

    void Render() override;
    QImage Grab(QSize size, qreal ratio) override;

protected:
    void exposeEvent(QExposeEvent* event) override;

private:
    bool EnsureContext();
    bool InitGL();
    void ReleaseGL();
    void ReleasePrograms();
    // The picture (or black) into the bound framebuffer of pixels, whose
    // top-left is the surface's, ratio device pixels to the surface's one.
    void Draw(QSize pixels, qreal ratio);
    void Upload(const CVideoSurface::Picture& picture);
    // Whether the picture, shown in target, is converted on the CPU.
    bool ConvertsOnCpu(const CVideoSurface::Picture& picture, const QRect& target) const;
    // The picture converted to BGRA, into its texture.
    void UploadBgra(const CVideoSurface::Picture& picture);
    // The BGRA texture's filter, set where it differs.
    void SetBgraFilter(GLint filter);
    // The YUV textures' filters, set where they differ.
    void SetFilters(GLint filter);
    // The conversion for the picture's colours, bound, and the YUV textures
    // to their units; unit 1 is left active.
    QOpenGLShaderProgram& BindConversion(const CVideoSurface::Picture& picture);
    void DrawOverlay(QSize pixels, qreal ratio);
    // The strip over the viewport with the program, which is bound.
    void DrawQuad(QOpenGLShaderProgram& program);

    std::unique_ptr<QOpenGLContext> context;
    // For drawing while the window cannot be, and for releasing our objects.
    std::unique_ptr<QOffscreenSurface> offscreen;
    QOpenGLFunctions* gl = nullptr;
    // One for each matrix and range.
    std::unique_ptr<QOpenGLShaderProgram> conversions[4];
    bool ready = false; // once every program is made
    std::unique_ptr<QOpenGLShaderProgram> overlayProgram;
    // A texture for each piece of the overlay, with the cache key of the
    // image in it.
    std::vector<GLuint> overlayTextures;
    std::vector<qint64> overlayKeys;
    // Y, and U and V interleaved, with their formats.
    GLuint textures[2] = {0, 0};
    GLint internalFormats[2] = {0, 0};
    GLenum pixelFormats[2] = {0, 0};
    GLint filter = 0;
    bool rowLength = false;       // whether rows may be read with a stride of their own
    std::vector<uint8_t> scratch; // a held picture's planes as the textures take them
    int32_t textureWidth = 0;
    int32_t textureHeight = 0;
    uint64_t uploaded = 0; // the number of the picture in the textures
    // The renderer runs on the CPU, and takes BGRA textures.
    bool software = false;
    bool bgra = false;
    // The picture converted on the CPU, and its texture.
    std::vector<uint8_t> converted;
    GLuint bgraTexture = 0;
    GLint bgraFilter = 0;
    int32_t bgraWidth = 0;
    int32_t bgraHeight = 0;
    uint64_t bgraUploaded = 0; // the number of the picture in it
};

CPictureWindow::CPictureWindow(CVideoSurface* o) : CSurfaceWindow(o) {
    setSurfaceType(QSurface::OpenGLSurface);
    // Nothing is drawn with depth or stencil. Without them Mesa's software
    // renderer may blend the overlay, a plain copy at its own size, by its
    // fast path instead of running the shader for each pixel.
    QSurfaceFormat format = requestedFormat();
    format.setDepthBufferSize(0);
    format.setStencilBufferSize(0);
    setFormat(format);
}

CPictureWindow::~CPictureWindow() {
    if (context && offscreen && context->makeCurrent(offscreen.get())) {
        ReleaseGL();
        context->doneCurrent();
    }
}

bool CPictureWindow::EnsureContext() {
    if (context)
        return ready;
    context = std::make_unique<QOpenGLContext>();
    context->setFormat(requestedFormat());
    if (!context->create())
        return false;
    offscreen = std::make_unique<QOffscreenSurface>(screen());
    offscreen->setFormat(context->format());
    offscreen->create();
    if (!context->makeCurrent(offscreen.get()))
        return false;
    return InitGL();
}

bool CPictureWindow::InitGL() {
    gl = context->functions();
    // One- and two-channel textures where the driver has them; luminance
    // and luminance-alpha, with V in alpha, where it has not.
    const bool rg = context->isOpenGLES() ? context->format().majorVersion() >= 3
                                          : (context->format().majorVersion() >= 3 ||
                                             context->hasExtension("GL_ARB_texture_rg"));
    internalFormats[0] = rg ? GL_R8 : GL_LUMINANCE;
    pixelFormats[0] = rg ? GL_RED : GL_LUMINANCE;
    internalFormats[1] = rg ? GL_RG8 : GL_LUMINANCE_ALPHA;
    pixelFormats[1] = rg ? GL_RG : GL_LUMINANCE_ALPHA;
    rowLength = !context->isOpenGLES() || context->format().majorVersion() >= 3;
    software = IsSoftwareRenderer(reinterpret_cast<const char*>(gl->glGetString(GL_RENDERER)));
    bgra = !context->isOpenGLES();

    overlayProgram = std::make_unique<QOpenGLShaderProgram>();
    bool made = overlayProgram->addShaderFromSourceCode(QOpenGLShader::Vertex, kVertexShader) &&
                overlayProgram->addShaderFromSourceCode(QOpenGLShader::Fragment, kOverlayShader) &&
                overlayProgram->link();
    for (YuvMatrix matrix : {YuvMatrix::Bt601, YuvMatrix::Bt709}) {
        for (bool fullRange : {false, true}) {
            const YuvColour colour{matrix, fullRange};
            auto& conversion = conversions[ConversionIndex(colour)];
            conversion = std::make_unique<QOpenGLShaderProgram>();
            made = made &&
                   conversion->addShaderFromSourceCode(QOpenGLShader::Vertex, kVertexShader) &&
                   conversion->addShaderFromSourceCode(QOpenGLShader::Fragment,
                                                       ConversionShader(colour, rg)) &&
                   conversion->link();
            if (made) {
                conversion->bind();
                conversion->setUniformValue("planeY", 0);
                conversion->setUniformValue("planeUV", 1);
                conversion->release();
            }
        }
    }
    if (!made) {
        ReleasePrograms();
        return false;
    }
    ready = true;

    overlayProgram->bind();
    overlayProgram->setUniformValue("image", 0);
    overlayProgram->release();

    gl->glGenTextures(2, textures);
    gl->glGenTextures(1, &bgraTexture);
    for (GLuint texture : {textures[0], textures[1], bgraTexture}) {
        gl->glBindTexture(GL_TEXTURE_2D, texture);
        gl->glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
        gl->glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
    }
    gl->glBindTexture(GL_TEXTURE_2D, 0);
    filter = bgraFilter = 0;
    textureWidth = textureHeight = bgraWidth = bgraHeight = 0;
    uploaded = bgraUploaded = 0;
    return true;
}

void CPictureWindow::ReleaseGL() {
    if (gl && textures[0]) {
        gl->glDeleteTextures(2, textures);
        gl->glDeleteTextures(1, &bgraTexture);
    }
    if (gl && !overlayTextures.empty())
        gl->glDeleteTextures(GLsizei(overlayTextures.size()), overlayTextures.data());
    overlayTextures.clear();
    overlayKeys.clear();
    textures[0] = textures[1] = bgraTexture = 0;
    textureWidth = textureHeight = bgraWidth = bgraHeight = 0;
    uploaded = bgraUploaded = 0;
    converted = {};
    ReleasePrograms();
}

void CPictureWindow::ReleasePrograms() {
    ready = false;
    for (auto& conversion : conversions)
        conversion.reset();
    overlayProgram.reset();
}

void CPictureWindow::exposeEvent(QExposeEvent*) {
    if (isExposed())
        Render();
}

void CPictureWindow::Render() {
    if (!isExposed() || !EnsureContext() || !context->makeCurrent(this))
        return;
    const qreal ratio = devicePixelRatio();
    gl->glBindFramebuffer(GL_FRAMEBUFFER, context->defaultFramebufferObject());
    const uint32_t before = owner->painted;
    Draw(size() * ratio, ratio);
    context->swapBuffers(this);
    if (owner->painted != before)
        owner->PictureDrawn(owner->shown.number);
}

QImage CPictureWindow::Grab(QSize size, qreal ratio) {
    if (size.isEmpty() || !EnsureContext() || !context->makeCurrent(offscreen.get()))
        return {};
    QOpenGLFramebufferObject target(size * ratio);
    if (!target.bind())
        return {};
    Draw(size * ratio, ratio);
    target.release();
    return target.toImage().convertToFormat(QImage::Format_RGB32);
}

void CPictureWindow::Upload(const CVideoSurface::Picture& picture) {
    const int32_t w = picture.width, h = picture.height;
    const int32_t sizes[2][2] = {{w, h}, {w / 2, h / 2}};
    const uint8_t* planes[2] = {picture.planes.data(), picture.planes.data() + size_t(w) * h};
    int32_t lumaStride = w;
    if (const PicturePlanes& held = picture.held; held.hold) {
        // Y straight from where it is held, rows apart as they are there;
        // U and V paired up here.
        const size_t chroma = 2 * size_t(w / 2) * (h / 2);
        const bool direct = held.stride[0] == w || rowLength;
        scratch.resize(chroma + (direct ? 0 : size_t(w) * h));
        InterleaveChroma(held, scratch.data());
        planes[1] = scratch.data();
        if (direct) {
            planes[0] = held.data[0];
            lumaStride = held.stride[0];
        } else {
            uint8_t* out = scratch.data() + chroma;
            for (int32_t y = 0; y < h; ++y)
                std::memcpy(out + size_t(y) * w, held.data[0] + size_t(y) * held.stride[0],
                            size_t(w));
            planes[0] = out;
        }
    }
    // Storage is made anew only when the size changes.
    const bool resize = w != textureWidth || h != textureHeight;
    gl->glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
    for (int i = 0; i < 2; ++i) {
        if (rowLength)
            gl->glPixelStorei(GL_UNPACK_ROW_LENGTH, i == 0 ? lumaStride : 0);
        gl->glBindTexture(GL_TEXTURE_2D, textures[i]);
        if (resize)
            gl->glTexImage2D(GL_TEXTURE_2D, 0, internalFormats[i], sizes[i][0], sizes[i][1], 0,
                             pixelFormats[i], GL_UNSIGNED_BYTE, planes[i]);
        else
            gl->glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, sizes[i][0], sizes[i][1], pixelFormats[i],
                                GL_UNSIGNED_BYTE, planes[i]);
    }
    gl->glBindTexture(GL_TEXTURE_2D, 0);
    textureWidth = w;
    textureHeight = h;
}

bool CPictureWindow::ConvertsOnCpu(const CVideoSurface::Picture& picture,
                                   const QRect& target) const {
    switch (owner->conversionPlace) {
    case CVideoSurface::ConversionPlace::Shader:
        return false;
    case CVideoSurface::ConversionPlace::Cpu:
        return bgra;
    case CVideoSurface::ConversionPlace::Automatic:
        break;
    }
    // Measured on llvmpipe: the shader costs about 6 ns for each pixel
    // shown; converting and uploading about 1 ns for each pixel of the
    // picture, and the copy about 1 ns more for each pixel shown. Converting
    // pays from about a fifth of the picture's pixel count shown; a quarter
    // leaves a margin.
    return software && bgra &&
           4 * int64_t(target.width()) * target.height() >= int64_t(picture.width) * picture.height;
}

YuvSource CSurfaceWindow::SourceOf(const Picture& picture) {
    const int32_t w = picture.width, h = picture.height;
    YuvSource source;
    source.width = w;
    source.height = h;
    source.colour = picture.colour;
    if (const PicturePlanes& held = picture.held; held.hold) {
        source.y = held.data[0];
        source.u = held.data[1];
        source.v = held.data[2];
        source.yStride = held.stride[0];
        source.uStride = held.stride[1];
        source.vStride = held.stride[2];
    } else {
        source.y = picture.planes.data();
        source.u = source.y + size_t(w) * h;
        source.v = source.u + 1;
        source.yStride = w;
        source.uStride = source.vStride = 2 * (w / 2);
        source.chromaStep = 2;
    }
    return source;
}

bool SoftwareOpenGL() {
    // A context of the kind the surface's would be, made current on an
    // off-screen surface just long enough to ask for its renderer.
    static const bool software = [] {
        QOpenGLContext context;
        QOffscreenSurface offscreen;
        if (!context.create())
            return true;
        offscreen.setFormat(context.format());
        offscreen.create();
        if (!context.makeCurrent(&offscreen))
            return true;
        const auto* renderer = context.functions()->glGetString(GL_RENDERER);
        const bool onCpu = !renderer || IsSoftwareRenderer(reinterpret_cast<const char*>(renderer));
        context.doneCurrent();
        return onCpu;
    }();
    return software;
}

void CPictureWindow::UploadBgra(const CVideoSurface::Picture& picture) {
    const int32_t w = picture.width, h = picture.height;
    const YuvSource source = SourceOf(picture);
    converted.resize(size_t(w) * h * 4);
    ConvertToBgra(source, converted.data(), 4 * w);
    gl->glPixelStorei(GL_UNPACK_ALIGNMENT, 4);
    if (rowLength)
        gl->glPixelStorei(GL_UNPACK_ROW_LENGTH, 0);
    gl->glBindTexture(GL_TEXTURE_2D, bgraTexture);
    // Stored as it is given (the format left to the driver): Mesa's software
    // renderer then copies or stretches it by its fast path.
    if (w != bgraWidth || h != bgraHeight)
        gl->glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA, w, h, 0, GL_BGRA, GL_UNSIGNED_BYTE,
                         converted.data());
    else
        gl->glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, w, h, GL_BGRA, GL_UNSIGNED_BYTE,
                            converted.data());
    gl->glBindTexture(GL_TEXTURE_2D, 0);
    bgraWidth = w;
    bgraHeight = h;
}

void CPictureWindow::Draw(QSize pixels, qreal ratio) {
    const bool fresh = owner->TakeNewest();
    const CVideoSurface::Picture& shown = owner->shown;
    const DrawRect& r = shown.dst;
    const bool picture = owner->hasShown && ready && r.width > 0 && r.height > 0;
    const QRect target(qRound(r.left * ratio), qRound(r.top * ratio), qRound(r.width * ratio),
                       qRound(r.height * ratio));
    gl->glViewport(0, 0, pixels.width(), pixels.height());
    // What the picture leaves uncovered is black; a picture over all of it
    // needs no clearing first.
    if (!picture || !target.contains(QRect(QPoint(0, 0), pixels))) {
        gl->glClearColor(0.f, 0.f, 0.f, 1.f);
        gl->glClear(GL_COLOR_BUFFER_BIT);
    }
    const bool cpu = picture && ConvertsOnCpu(shown, target);
    if (owner->hasShown && ready) {
        if (cpu && bgraUploaded != owner->shownNumber) {
            UploadBgra(shown);
            bgraUploaded = owner->shownNumber;
        } else if (!cpu && uploaded != owner->shownNumber) {
            Upload(shown);
            uploaded = owner->shownNumber;
        }
    }
    if (fresh && ready)
        ++owner->painted;
    if (picture) {
        // The rectangle is in widget pixels from the top left; GL counts from
        // the bottom left in device pixels.
        gl->glViewport(target.left(), pixels.height() - target.top() - target.height(),
                       target.width(), target.height());
        // Stretched, the picture is filtered linearly. At its own size or
        // below, the nearest sample is taken: the same at its own size, about
        // the same below it (without mipmaps linear filtering blends only two
        // of many samples), and a software renderer spends far less on it.
        const GLint wanted =
            target.width() > shown.width || target.height() > shown.height ? GL_LINEAR
                                                                           : GL_NEAREST;
        if (cpu) {
            SetBgraFilter(wanted);
            gl->glActiveTexture(GL_TEXTURE0);
            gl->glBindTexture(GL_TEXTURE_2D, bgraTexture);
            overlayProgram->bind();
            DrawQuad(*overlayProgram);
        } else {
            SetFilters(wanted);
            DrawQuad(BindConversion(shown));
            gl->glBindTexture(GL_TEXTURE_2D, 0);
        }
        gl->glActiveTexture(GL_TEXTURE0);
        gl->glBindTexture(GL_TEXTURE_2D, 0);
    }
    DrawOverlay(pixels, ratio);
}

void CPictureWindow::SetFilters(GLint wanted) {
    if (wanted == filter)
        return;
    for (GLuint texture : textures) {
        gl->glBindTexture(GL_TEXTURE_2D, texture);
        gl->glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, wanted);
        gl->glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, wanted);
    }
    gl->glBindTexture(GL_TEXTURE_2D, 0);
    filter = wanted;
}

void CPictureWindow::SetBgraFilter(GLint wanted) {
    if (wanted == bgraFilter)
        return;
    gl->glBindTexture(GL_TEXTURE_2D, bgraTexture);
    gl->glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, wanted);
    gl->glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, wanted);
    gl->glBindTexture(GL_TEXTURE_2D, 0);
    bgraFilter = wanted;
}

QOpenGLShaderProgram& CPictureWindow::BindConversion(const CVideoSurface::Picture& picture) {
    QOpenGLShaderProgram& conversion = *conversions[ConversionIndex(picture.colour)];
    conversion.bind();
    for (int i = 0; i < 2; ++i) {
        gl->glActiveTexture(GL_TEXTURE0 + i);
        gl->glBindTexture(GL_TEXTURE_2D, textures[i]);
    }
    return conversion;
}

void CPictureWindow::DrawOverlay(QSize pixels, qreal ratio) {
    const std::vector<OverlayPiece>& pieces = owner->overlay;
    owner->overlayDrawn = owner->overlayNumber;
    if (pieces.empty() || !overlayProgram)
        return;
    while (overlayTextures.size() < pieces.size()) {
        GLuint texture = 0;
        gl->glGenTextures(1, &texture);
        gl->glBindTexture(GL_TEXTURE_2D, texture);
        gl->glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
        gl->glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
        // Drawn at its own size.
        gl->glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_NEAREST);
        gl->glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_NEAREST);
        overlayTextures.push_back(texture);
        overlayKeys.push_back(0);
    }
    gl->glActiveTexture(GL_TEXTURE0);
    gl->glEnable(GL_BLEND);
    gl->glBlendFunc(GL_ONE, GL_ONE_MINUS_SRC_ALPHA);
    for (size_t i = 0; i < pieces.size(); ++i) {
        const QImage& image = pieces[i].image;
        gl->glBindTexture(GL_TEXTURE_2D, overlayTextures[i]);
        if (overlayKeys[i] != image.cacheKey()) {
            const QImage rgba = image.convertToFormat(QImage::Format_RGBA8888_Premultiplied);
            gl->glPixelStorei(GL_UNPACK_ALIGNMENT, 4);
            if (rowLength)
                gl->glPixelStorei(GL_UNPACK_ROW_LENGTH, 0);
            gl->glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA, rgba.width(), rgba.height(), 0, GL_RGBA,
                             GL_UNSIGNED_BYTE, rgba.constBits());
            overlayKeys[i] = image.cacheKey();
        }
        const QPoint at(qRound(pieces[i].at.x() * ratio), qRound(pieces[i].at.y() * ratio));
        gl->glViewport(at.x(), pixels.height() - at.y() - image.height(), image.width(),
                       image.height());
        overlayProgram->bind();
        DrawQuad(*overlayProgram);
    }
    gl->glDisable(GL_BLEND);
    gl->glBindTexture(GL_TEXTURE_2D, 0);
}

void CPictureWindow::DrawQuad(QOpenGLShaderProgram& p) {
    p.enableAttributeArray("position");
    p.enableAttributeArray("texCoord");
    p.setAttributeArray("position", kPositions, 2);
    p.setAttributeArray("texCoord", kTexCoords, 2);
    gl->glDrawArrays(GL_TRIANGLE_STRIP, 0, 4);
    p.disableAttributeArray("position");
    p.disableAttributeArray("texCoord");
    p.release();
}

CVideoSurface::CVideoSurface(QWidget* parent) : QWidget(parent) {
    QPalette black = palette();
    black.setColor(QPalette::Window, Qt::black);
    setPalette(black);
    setAutoFillBackground(true);
    MakeWindow(DisplayPath::Automatic);
    // A new overlay goes out with the next picture; only when none comes
    // soon is the last one drawn again for it.
    overlayTimer = new QTimer(this);
    overlayTimer->setSingleShot(true);
    overlayTimer->setInterval(kOverlayWait);
    connect(overlayTimer, &QTimer::timeout, this, [this] {
        if (overlayDrawn != overlayNumber)
            ScheduleUpdate();
    });
}

CVideoSurface::~CVideoSurface() {
    // The window goes while the pictures it draws are still there.
    delete container;
    LetGo(newest);
    LetGo(shown);
}

void CVideoSurface::MakeWindow(DisplayPath path) {
    if (path == DisplayPath::Automatic)
        path = SoftwareOpenGL() ? DisplayPath::Image : DisplayPath::OpenGL;
    const bool replacing = container != nullptr;
    if (replacing && path == pathInUse)
        return;
    delete container;
    pathInUse = path;
    window = path == DisplayPath::Image ? NewImageWindow(this) : new CPictureWindow(this);
    container = QWidget::createWindowContainer(window, this);
    container->setObjectName("PictureWindow");
    container->setFocusPolicy(Qt::NoFocus);
    container->setAttribute(Qt::WA_TransparentForMouseEvents);
    container->setGeometry(rect());
    container->hide();
    // A picture shown so far is drawn again once the new window is shown.
    if (replacing)
        ScheduleUpdate();
}

void CVideoSurface::SetDisplayPath(DisplayPath path) {
    MakeWindow(path);
}

void CVideoSurface::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    container->setGeometry(rect());
}

void CVideoSurface::paintEvent(QPaintEvent*) {
    // Only seen while the window is hidden: the black, and the overlay.
    if (overlay.empty())
        return;
    QPainter painter(this);
    for (const OverlayPiece& piece : overlay)
        painter.drawImage(piece.at, piece.image);
}

void CVideoSurface::SetOverlay(std::vector<OverlayPiece> pieces) {
    std::erase_if(pieces, [](const OverlayPiece& piece) { return piece.image.isNull(); });
    if (pieces == overlay)
        return;
    overlay = std::move(pieces);
    ++overlayNumber;
    // The widget itself shows only while the picture's window is hidden;
    // painted beneath it, the whole top-level window would be composed and
    // sent to the screen again for nothing, the full screen's included.
    if (container->isHidden())
        update();
    if (!overlayTimer->isActive())
        overlayTimer->start();
}

void CVideoSurface::SetConversionPlace(ConversionPlace place) {
    if (place == conversionPlace)
        return;
    conversionPlace = place;
    ScheduleUpdate();
}

void CVideoSurface::SetOverlay(const QImage& image, QPoint at) {
    SetOverlay(std::vector<OverlayPiece>{{image, at}});
}

void CVideoSurface::Present(const PicturePlanes& picture, const DrawRect& dst, bool keyFrame) {
    const int32_t width = picture.width, height = picture.height;
    if (width < 2 || height < 2 || width > kMaxPictureSide || height > kMaxPictureSide)
        return;
    const int32_t planeWidth[3] = {width, width / 2, width / 2};
    for (int i = 0; i < 3; ++i)
        if (!picture.data[i] || picture.stride[i] < planeWidth[i])
            return;
    {
        std::lock_guard guard(mutex);
        LetGo(newest);
        if (picture.hold) {
            // Kept where it is until the display has taken it up.
            picture.hold->Take();
            newest.held = picture;
        } else {
            newest.planes.resize(size_t(width) * height + 2 * size_t(width / 2) * (height / 2));
            uint8_t* out = newest.planes.data();
            const uint8_t* row = picture.data[0];
            for (int32_t y = 0; y < height; ++y, out += width, row += picture.stride[0])
                std::memcpy(out, row, size_t(width));
            InterleaveChroma(picture, out);
        }
        newest.width = width;
        newest.height = height;
        newest.colour = picture.colour;
        newest.dst = dst;
        newest.keyFrame = keyFrame;
        newest.number = ++presented;
        hasNewest = true;
        cleared = false;
    }
    lastKeyFrame = keyFrame;
    ScheduleUpdate();
}

void CVideoSurface::LetGo(Picture& picture) {
    if (picture.held.hold)
        picture.held.hold->Release();
    picture.held = {};
}

void CVideoSurface::Clear() {
    {
        std::lock_guard guard(mutex);
        LetGo(newest);
        hasNewest = false;
        cleared = true;
    }
    ScheduleUpdate();
}

CVideoSurface::Counters CVideoSurface::GetCounters() const {
    std::lock_guard guard(mutex);
    return {presented.load(), painted.load(), lastKeyFrame.load(), hasNewest};
}

bool CVideoSurface::TakeNewest() {
    std::lock_guard guard(mutex);
    if (cleared) {
        LetGo(shown);
        hasShown = false;
        cleared = false;
    }
    if (!hasNewest)
        return false;
    std::swap(newest, shown);
    // The picture shown so far is done with.
    LetGo(newest);
    hasNewest = false;
    hasShown = true;
    ++shownNumber;
    return true;
}

QImage CVideoSurface::grabFramebuffer() {
    return window->Grab(size(), devicePixelRatioF());
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
    lastPaint = std::chrono::steady_clock::now();
    bool picture;
    {
        std::lock_guard guard(mutex);
        picture = hasNewest || (hasShown && !cleared);
    }
    // Without a picture the window goes, and the widget's black shows with
    // whatever lies over it; shown again, it draws once it is exposed.
    if (!picture) {
        TakeNewest();
        container->hide();
    } else if (container->isHidden()) {
        container->show();
    } else {
        window->Render();
    }
}

} // namespace platform
