// The video surface in a real window (Xvfb, Mesa), read back pixel by pixel,
// by both of its paths: OpenGL, and images finished on the CPU.
#include "platform/video/VideoSurface.h"
#include "platform/video/YuvToBgra.h"
#include "codec/CVideoDecoder.h"
#include "support/VideoCheck.h"
#include "tools/media/CH264Encoder.h"
#include "tools/media/I420Picture.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QImage>
#include <QScreen>
#include <QWindow>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <random>
#include <thread>
#include <vector>

using platform::CVideoSurface;
using Path = platform::CVideoSurface::DisplayPath;
using platform::DrawRect;
using platform::YuvColour;
using platform::YuvMatrix;
using namespace std::chrono_literals;
using namespace media;
using namespace testing_support;

namespace {

// The surface shows the very picture it was given: only the colour
// conversion's rounding differs.
constexpr int kSurfaceTolerance = 12;

class VideoSurfaceTest : public ::testing::Test {
protected:
    void SetUp() override {
        EnsureApplication();
        surface = std::make_unique<CVideoSurface>();
        surface->resize(362, 290);
        surface->show();
        ASSERT_TRUE(
            Pump([&] { return surface->windowHandle() && surface->windowHandle()->isExposed(); }));
    }

    void TearDown() override { surface.reset(); }

    bool WaitPainted(uint32_t count) {
        return Pump([&] { return surface->GetCounters().painted >= count; });
    }

    std::unique_ptr<CVideoSurface> surface;
};

// The RGB levels of a Y'CbCr triple, from the definitions: Y' = Kr R + Kg G +
// Kb B, Pb and Pr the scaled differences B - Y' and R - Y'.
Rgb Reference(Yuv c, YuvColour colour) {
    const double kr = colour.matrix == YuvMatrix::Bt709 ? 0.2126 : 0.299;
    const double kb = colour.matrix == YuvMatrix::Bt709 ? 0.0722 : 0.114;
    const double luma = colour.fullRange ? 255 : 219, chroma = colour.fullRange ? 255 : 224;
    const double y = (c.y - (colour.fullRange ? 0 : 16)) / luma;
    const double pb = (c.u - 128) / chroma, pr = (c.v - 128) / chroma;
    const double r = y + 2 * (1 - kr) * pr, b = y + 2 * (1 - kb) * pb;
    const double g = (y - kr * r - kb * b) / (1 - kr - kb);
    auto level = [](double v) { return int(std::lround(std::clamp(v, 0.0, 1.0) * 255)); };
    return {level(r), level(g), level(b)};
}

// Drawn RGB within this many levels of the reference.
constexpr int kColourTolerance = 3;

// The same checks for each path, forced.
class VideoSurfacePathTest : public VideoSurfaceTest, public ::testing::WithParamInterface<Path> {
protected:
    void SetUp() override {
        VideoSurfaceTest::SetUp();
        surface->SetDisplayPath(GetParam());
        ASSERT_EQ(surface->DisplayPathInUse(), GetParam());
    }
};

std::string PathName(const ::testing::TestParamInfo<Path>& info) {
    return info.param == Path::OpenGL ? "OpenGL" : "Image";
}

} // namespace

INSTANTIATE_TEST_SUITE_P(VideoSurfaceTest, VideoSurfacePathTest,
                         ::testing::Values(Path::OpenGL, Path::Image), PathName);

TEST_F(VideoSurfaceTest, PathIsChosenByTheRendererAndCanBeForced) {
    // Under Xvfb OpenGL renders in software (Mesa's llvmpipe): the surface
    // finishes images on the CPU.
    EXPECT_EQ(surface->DisplayPathInUse(), Path::Image);
    surface->Present(Solid(64, 48, kBlue).data(), 64, 48, {0, 0, 362, 290}, true);
    ASSERT_TRUE(WaitPainted(1));
    // Each path in turn; the new window draws the picture shown so far.
    for (Path path : {Path::OpenGL, Path::Image, Path::OpenGL, Path::Automatic}) {
        surface->SetDisplayPath(path);
        EXPECT_EQ(surface->DisplayPathInUse(), path == Path::Automatic ? Path::Image : path);
        EXPECT_TRUE(Pump([&] {
            return PixelIs(surface->screen()->grabWindow(surface->winId()).toImage(), 181, 145,
                           kBlue, kSurfaceTolerance);
        })) << "path " << int(path);
    }
}

TEST_P(VideoSurfacePathTest, PatchesKeepTheirColoursAndPlacesInPanelAndFullScreen) {
    // A 16:9 picture of four patches, placed as the console places it:
    // letterboxed in the panel (made smaller), stretched over a 16:9 screen,
    // letterboxed on a 4:3 one (both made larger).
    const int w = 1280, h = 720;
    const Yuv patches[4] = {{81, 90, 240}, {145, 54, 34}, {41, 240, 110}, {210, 16, 146}};
    std::vector<uint8_t> picture(size_t(w) * h * 3 / 2);
    uint8_t* u = picture.data() + w * h;
    uint8_t* v = u + w * h / 4;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const Yuv& c = patches[(y >= h / 2) * 2 + (x >= w / 2)];
            picture[size_t(y) * w + x] = c.y;
            u[(y / 2) * (w / 2) + x / 2] = c.u;
            v[(y / 2) * (w / 2) + x / 2] = c.v;
        }
    const YuvColour colour{YuvMatrix::Bt709, false};
    struct Place {
        const char* name;
        QSize window;
        DrawRect dst;
    };
    const Place places[] = {{"panel", {362, 290}, {1, 44, 360, 202}},
                            {"16:9 screen", {1920, 1080}, {0, 0, 1920, 1080}},
                            {"4:3 screen", {1024, 768}, {0, 96, 1024, 576}}};
    uint32_t painted = 0;
    for (const Place& place : places) {
        surface->resize(place.window);
        ASSERT_TRUE(Pump([&] { return surface->size() == place.window; }));
        surface->Present(picture.data(), w, h, place.dst, true, colour);
        ASSERT_TRUE(WaitPainted(++painted));
        const DrawRect& r = place.dst;
        for (bool screen : {false, true}) {
            const QImage image = screen ? surface->screen()->grabWindow(surface->winId()).toImage()
                                        : surface->grabFramebuffer();
            const std::string where = std::string(place.name) + (screen ? " on the screen" : "");
            // Each patch's middle and its corners, three pixels in from the
            // rectangle's edges and from the lines between the patches.
            for (int i = 0; i < 4; ++i) {
                const int left = r.left + (i % 2) * r.width / 2,
                          top = r.top + (i / 2) * r.height / 2;
                const int right = left + r.width / 2 - 1, bottom = top + r.height / 2 - 1;
                const Rgb want = Reference(patches[i], colour);
                for (auto [x, y] : {std::pair{(left + right) / 2, (top + bottom) / 2},
                                    {left + 3, top + 3}, {right - 3, top + 3},
                                    {left + 3, bottom - 3}, {right - 3, bottom - 3}})
                    EXPECT_TRUE(PixelIs(image, x, y, want, kColourTolerance))
                        << where << ", patch " << i;
            }
            // The bars around it stay black.
            for (auto [x, y] : {std::pair{r.left - 1, r.top + r.height / 2},
                                {r.left + r.width, r.top + r.height / 2},
                                {r.left + r.width / 2, r.top - 1},
                                {r.left + r.width / 2, r.top + r.height}}) {
                if (x >= 0 && y >= 0 && x < image.width() && y < image.height()) {
                    EXPECT_TRUE(PixelIs(image, x, y, kBlack, 0)) << where;
                }
            }
        }
    }
}

TEST_P(VideoSurfacePathTest, PanelRectangleShowsThePictureStretchedWithABlackBorder) {
    const DrawRect panel{1, 1, 360, 288};
    auto picture = PatternPicture(320, 240, 3);
    surface->Present(picture.data(), 320, 240, panel, true);
    ASSERT_TRUE(WaitPainted(1));
    QImage image = surface->grabFramebuffer();
    ASSERT_EQ(image.size(), QSize(362, 290));

    ExpectPattern(image, panel, 320, 240, 3, kSurfaceTolerance);
    // The rectangle's own corners belong to the picture, the frame around it
    // stays black.
    EXPECT_TRUE(PixelIs(image, 1, 1, kRed, kSurfaceTolerance));
    EXPECT_TRUE(PixelIs(image, 360, 1, kGreen, kSurfaceTolerance));
    EXPECT_TRUE(PixelIs(image, 1, 288, kBlue, kSurfaceTolerance));
    EXPECT_TRUE(PixelIs(image, 360, 288, kWhite, kSurfaceTolerance));
    for (auto [x, y] : {std::pair{0, 0}, {0, 100}, {100, 0}, {361, 100}, {100, 289}, {361, 289}})
        EXPECT_TRUE(PixelIs(image, x, y, kBlack, 0)) << x << ", " << y;
    // And the screen shows the same.
    QImage screen = surface->screen()->grabWindow(surface->winId()).toImage();
    ExpectPattern(screen, panel, 320, 240, 3, kSurfaceTolerance);
    EXPECT_TRUE(PixelIs(screen, 0, 0, kBlack, 0));
}

TEST_P(VideoSurfacePathTest, FullWindowRectangleCoversTheWindow) {
    surface->resize(640, 360);
    ASSERT_TRUE(Pump([&] { return surface->width() == 640; }));
    const DrawRect full{0, 0, 640, 360};
    auto picture = PatternPicture(320, 240, 10);
    surface->Present(picture.data(), 320, 240, full, false);
    ASSERT_TRUE(WaitPainted(1));
    QImage image = surface->grabFramebuffer();
    ASSERT_EQ(image.size(), QSize(640, 360));
    ExpectPattern(image, full, 320, 240, 10, kSurfaceTolerance);
    EXPECT_TRUE(PixelIs(image, 0, 0, kRed, kSurfaceTolerance));
    EXPECT_TRUE(PixelIs(image, 639, 0, kGreen, kSurfaceTolerance));
    EXPECT_TRUE(PixelIs(image, 0, 359, kBlue, kSurfaceTolerance));
    EXPECT_TRUE(PixelIs(image, 639, 359, kWhite, kSurfaceTolerance));
}

TEST_P(VideoSurfacePathTest, EachPictureBringsItsOwnRectangle) {
    auto picture = SolidPicture(64, 64, YuvFromRgb(0, 0, 255));
    surface->Present(picture.data(), 64, 64, {0, 0, 100, 100}, true);
    ASSERT_TRUE(WaitPainted(1));
    surface->Present(picture.data(), 64, 64, {200, 150, 100, 100}, false);
    ASSERT_TRUE(WaitPainted(2));
    QImage image = surface->grabFramebuffer();
    EXPECT_TRUE(PixelIs(image, 50, 50, kBlack, 0)) << "the old place is black again";
    EXPECT_TRUE(PixelIs(image, 250, 200, kBlue, kSurfaceTolerance));
    EXPECT_TRUE(PixelIs(image, 199, 200, kBlack, 0));
    EXPECT_TRUE(PixelIs(image, 300, 200, kBlack, 0));
}

TEST_P(VideoSurfacePathTest, StretchingFiltersLinearly) {
    // Two columns, black and white: stretched, the middle is a blend.
    std::vector<uint8_t> picture = {16, 235, 16, 235, 128, 128};
    surface->Present(picture.data(), 2, 2, {0, 0, 362, 290}, true);
    ASSERT_TRUE(WaitPainted(1));
    QImage image = surface->grabFramebuffer();
    int middle = qRed(image.pixel(181, 145));
    EXPECT_GT(middle, 60);
    EXPECT_LT(middle, 195);
    EXPECT_TRUE(PixelIs(image, 2, 145, kBlack, 8));
    EXPECT_TRUE(PixelIs(image, 359, 145, kWhite, 8));
    EXPECT_LT(qRed(image.pixel(120, 145)), middle) << "brightness grows from left to right";
    EXPECT_GT(qRed(image.pixel(240, 145)), middle);
}

TEST_P(VideoSurfacePathTest, OddSizesShowWithTruncatedChroma) {
    auto picture = PatternPicture(175, 99, 0);
    ASSERT_EQ(picture.size(), 25851u);
    const DrawRect panel{1, 1, 360, 288};
    surface->Present(picture.data(), 175, 99, panel, true);
    ASSERT_TRUE(WaitPainted(1));
    ExpectPattern(surface->grabFramebuffer(), panel, 175, 99, 0, kSurfaceTolerance);
}

TEST_F(VideoSurfaceTest, ASlowDisplayShowsOnlyTheNewestPicture) {
    // The GUI thread is busy (it does not run its loop) while another thread
    // presents a hundred pictures.
    const Rgb colours[] = {kRed, kGreen, kBlue, kWhite};
    std::vector<std::vector<uint8_t>> pictures;
    for (Rgb c : colours)
        pictures.push_back(SolidPicture(320, 240, YuvFromRgb(c.r, c.g, c.b)));
    std::thread presenter([&] {
        for (int i = 0; i < 100; ++i)
            surface->Present(pictures[i % 4].data(), 320, 240, {0, 0, 362, 290}, i == 99);
    });
    presenter.join();
    ASSERT_TRUE(WaitPainted(1));
    // Give any further queued paints their chance.
    Pump([] { return false; }, 300ms);
    auto counters = surface->GetCounters();
    EXPECT_EQ(counters.presented, 100u);
    EXPECT_EQ(counters.painted, 1u) << "one paint, of the newest picture";
    EXPECT_TRUE(counters.lastKeyFrame);
    EXPECT_TRUE(PixelIs(surface->grabFramebuffer(), 181, 145, colours[99 % 4], kSurfaceTolerance));
}

TEST_F(VideoSurfaceTest, KeepsTheLastKeyFrameFlag) {
    auto picture = SolidPicture(32, 32, YuvFromRgb(0, 255, 0));
    surface->Present(picture.data(), 32, 32, {0, 0, 32, 32}, true);
    EXPECT_TRUE(surface->GetCounters().lastKeyFrame);
    surface->Present(picture.data(), 32, 32, {0, 0, 32, 32}, false);
    EXPECT_FALSE(surface->GetCounters().lastKeyFrame);
    ASSERT_TRUE(WaitPainted(1));
}

TEST_P(VideoSurfacePathTest, ClearTurnsTheSurfaceBlack) {
    auto picture = SolidPicture(64, 48, YuvFromRgb(255, 255, 255));
    surface->Present(picture.data(), 64, 48, {0, 0, 362, 290}, true);
    ASSERT_TRUE(WaitPainted(1));
    EXPECT_TRUE(PixelIs(surface->grabFramebuffer(), 100, 100, kWhite, kSurfaceTolerance));
    surface->Clear();
    Pump([] { return false; }, 100ms);
    QImage image = surface->grabFramebuffer();
    EXPECT_TRUE(PixelIs(image, 100, 100, kBlack, 0));
    EXPECT_TRUE(PixelIs(image, 300, 250, kBlack, 0));
    EXPECT_TRUE(PixelIs(surface->screen()->grabWindow(surface->winId()).toImage(), 100, 100,
                        kBlack, 0))
        << "on the screen as well";
}

TEST_P(VideoSurfacePathTest, OverlayLiesOverThePictureAndTheBlack) {
    // Half-transparent white, premultiplied: over red it gives pink.
    QImage image(40, 20, QImage::Format_ARGB32_Premultiplied);
    image.fill(qRgba(128, 128, 128, 128));
    surface->SetOverlay(image, {10, 10});
    EXPECT_TRUE(PixelIs(surface->grabFramebuffer(), 20, 20, {128, 128, 128}, 2)) << "over black";
    EXPECT_TRUE(PixelIs(surface->grab().toImage(), 20, 20, {128, 128, 128}, 2))
        << "the widget shows it while there is no picture";

    surface->Present(Solid(64, 48, kRed).data(), 64, 48, {0, 0, 362, 290}, true);
    ASSERT_TRUE(WaitPainted(1));
    QImage shown = surface->grabFramebuffer();
    EXPECT_TRUE(PixelIs(shown, 20, 20, {255, 128, 128}, kSurfaceTolerance));
    EXPECT_TRUE(PixelIs(shown, 60, 20, kRed, kSurfaceTolerance)) << "beside it";
    // In pieces, each where it is put, the picture between them untouched;
    // a piece changed shows at once.
    QImage green(30, 30, QImage::Format_ARGB32_Premultiplied);
    green.fill(qRgba(0, 255, 0, 255));
    surface->SetOverlay({{image, {10, 10}}, {green, {300, 250}}});
    shown = surface->grabFramebuffer();
    EXPECT_TRUE(PixelIs(shown, 20, 20, {255, 128, 128}, kSurfaceTolerance));
    EXPECT_TRUE(PixelIs(shown, 310, 260, {0, 255, 0}, kSurfaceTolerance));
    EXPECT_TRUE(PixelIs(shown, 200, 150, kRed, kSurfaceTolerance)) << "between them";
    green.fill(qRgba(0, 0, 255, 255));
    surface->SetOverlay({{image, {10, 10}}, {green, {300, 250}}});
    EXPECT_TRUE(PixelIs(surface->grabFramebuffer(), 310, 260, {0, 0, 255}, kSurfaceTolerance));
    // Taken away, it goes from the screen too, though no new picture comes.
    surface->SetOverlay({}, {});
    EXPECT_TRUE(Pump([&] {
        return PixelIs(surface->screen()->grabWindow(surface->winId()).toImage(), 20, 20, kRed,
                       kSurfaceTolerance);
    }));
}

TEST_F(VideoSurfaceTest, PicturesWithoutContentAreIgnored) {
    uint8_t bytes[64] = {};
    surface->Present(nullptr, 320, 240, {0, 0, 10, 10}, true);
    surface->Present(bytes, 0, 0, {0, 0, 10, 10}, true);
    surface->Present(bytes, 1, 1, {0, 0, 10, 10}, true);
    surface->Present(bytes, -4, 8, {0, 0, 10, 10}, true);
    surface->Present(bytes, 20000, 2, {0, 0, 10, 10}, true);
    EXPECT_EQ(surface->GetCounters().presented, 0u);
    // An empty rectangle draws nothing, harmlessly.
    auto picture = SolidPicture(32, 32, YuvFromRgb(255, 0, 0));
    surface->Present(picture.data(), 32, 32, {5, 5, 0, -3}, true);
    ASSERT_TRUE(WaitPainted(1));
    EXPECT_TRUE(PixelIs(surface->grabFramebuffer(), 5, 5, kBlack, 0));
}

TEST_P(VideoSurfacePathTest, PictureSurvivesAMoveToAnotherWindow) {
    auto picture = PatternPicture(320, 240, 5);
    const DrawRect panel{1, 1, 360, 288};
    surface->Present(picture.data(), 320, 240, panel, true);
    ASSERT_TRUE(WaitPainted(1));

    // A new top-level window gives the surface a new GL context.
    QWidget holder;
    holder.resize(400, 320);
    struct GiveBack {
        CVideoSurface* s;
        ~GiveBack() { s->setParent(nullptr); }
    } giveBack{surface.get()};
    surface->setParent(&holder);
    surface->move(0, 0);
    surface->show();
    holder.show();
    ASSERT_TRUE(Pump([&] { return holder.windowHandle() && holder.windowHandle()->isExposed(); }));
    ExpectPattern(surface->grabFramebuffer(), panel, 320, 240, 5, kSurfaceTolerance);
}

TEST_F(VideoSurfaceTest, ColourFollowsThePicturesMatrixAndRange) {
    // Black and white levels of both ranges, and two colours far apart,
    // converted by OpenGL's shader, on the CPU for OpenGL, and on the CPU
    // into images.
    const Yuv samples[] = {{16, 128, 128}, {235, 128, 128}, {0, 128, 128}, {255, 128, 128},
                           {81, 90, 240},  {145, 54, 34},   {41, 240, 110}};
    using Place = CVideoSurface::ConversionPlace;
    for (Place place : {Place::Shader, Place::Cpu, Place::Automatic}) {
        surface->SetDisplayPath(place == Place::Automatic ? Path::Image : Path::OpenGL);
        surface->SetConversionPlace(place);
        for (YuvMatrix matrix : {YuvMatrix::Bt601, YuvMatrix::Bt709})
            for (bool fullRange : {false, true}) {
                const YuvColour colour{matrix, fullRange};
                for (Yuv c : samples) {
                    surface->Present(SolidPicture(16, 16, c).data(), 16, 16, {0, 0, 362, 290},
                                     true, colour);
                    EXPECT_TRUE(PixelIs(surface->grabFramebuffer(), 181, 145,
                                        Reference(c, colour), kColourTolerance))
                        << (place == Place::Cpu      ? "CPU, "
                            : place == Place::Shader ? "shader, "
                                                     : "image, ")
                        << (matrix == YuvMatrix::Bt709 ? "BT.709" : "BT.601")
                        << (fullRange ? " full" : " limited") << " range, Y " << int(c.y)
                        << " U " << int(c.u) << " V " << int(c.v);
                }
            }
    }
}

TEST(YuvToBgraTest, EveryPixelIsWithinALevelOfTheExactConversion) {
    // Random levels over all 0..255, an odd size (blocks of sixteen and the
    // pixels after them, a last column and row without chroma of their own),
    // chroma in planes and interleaved.
    const int w = 37, h = 7, cw = w / 2, ch = h / 2;
    std::mt19937 random(7);
    std::vector<uint8_t> y(w * h), u(cw * ch), v(cw * ch), uv(2 * cw * ch);
    for (auto* plane : {&y, &u, &v})
        for (uint8_t& level : *plane)
            level = uint8_t(random());
    for (int i = 0; i < cw * ch; ++i) {
        uv[2 * i] = u[i];
        uv[2 * i + 1] = v[i];
    }
    for (bool interleaved : {false, true})
        for (YuvMatrix matrix : {YuvMatrix::Bt601, YuvMatrix::Bt709})
            for (bool fullRange : {false, true}) {
                platform::YuvSource source;
                source.y = y.data();
                source.yStride = w;
                source.u = interleaved ? uv.data() : u.data();
                source.v = interleaved ? uv.data() + 1 : v.data();
                source.uStride = source.vStride = interleaved ? 2 * cw : cw;
                source.chromaStep = interleaved ? 2 : 1;
                source.width = w;
                source.height = h;
                source.colour = {matrix, fullRange};
                std::vector<uint8_t> out(4 * w * h);
                platform::ConvertToBgra(source, out.data(), 4 * w);
                int worst = 0;
                for (int row = 0; row < h; ++row)
                    for (int x = 0; x < w; ++x) {
                        const int c = std::min(row / 2, ch - 1) * cw + std::min(x / 2, cw - 1);
                        const Rgb want = Reference({y[row * w + x], u[c], v[c]}, source.colour);
                        const uint8_t* got = &out[4 * (row * w + x)];
                        worst = std::max({worst, std::abs(got[0] - want.b),
                                          std::abs(got[1] - want.g), std::abs(got[2] - want.r)});
                        EXPECT_EQ(got[3], 255);
                    }
                EXPECT_LE(worst, 1) << (interleaved ? "interleaved " : "planar ")
                                    << (matrix == YuvMatrix::Bt709 ? "BT.709" : "BT.601")
                                    << (fullRange ? " full" : " limited");
            }
}

TEST_F(VideoSurfaceTest, DecodedPicturesTakeTheColourTheirStreamSignalsOrTheirSizeImplies) {
    struct Case {
        int width, height;
        AVColorSpace space;
        AVColorRange range;
        YuvColour expected;
    };
    const Case cases[] = {
        {640, 480, AVCOL_SPC_UNSPECIFIED, AVCOL_RANGE_UNSPECIFIED, {YuvMatrix::Bt601, false}},
        {1280, 720, AVCOL_SPC_UNSPECIFIED, AVCOL_RANGE_UNSPECIFIED, {YuvMatrix::Bt709, false}},
        {640, 480, AVCOL_SPC_BT709, AVCOL_RANGE_MPEG, {YuvMatrix::Bt709, false}},
        {1280, 720, AVCOL_SPC_SMPTE170M, AVCOL_RANGE_JPEG, {YuvMatrix::Bt601, true}},
    };
    for (const Case& c : cases) {
        CH264Encoder::Settings settings;
        settings.width = c.width;
        settings.height = c.height;
        settings.colourSpace = c.space;
        settings.colourRange = c.range;
        CH264Encoder maker(settings);
        ASSERT_TRUE(maker.Ok());
        SessionContext session;
        ClearSessionContext(session);
        session.videoWidth = c.width;
        session.videoHeight = c.height;
        CVideoDecoder decoder;
        ASSERT_EQ(decoder.Open(&session), 1);
        CMediaPacket packet = maker.Encode(SolidPicture(c.width, c.height, {200, 90, 170}), true);
        ASSERT_EQ(decoder.Decode(packet.data.data(), uint32_t(packet.data.size()), nullptr), 1);
        const platform::PicturePlanes planes = decoder.Planes();
        const std::string name = std::to_string(c.width) + " x " + std::to_string(c.height) +
                                 ", space " + std::to_string(c.space) + ", range " +
                                 std::to_string(c.range);
        EXPECT_EQ(planes.colour.matrix, c.expected.matrix) << name;
        EXPECT_EQ(planes.colour.fullRange, c.expected.fullRange) << name;

        surface->Present(planes, {0, 0, 362, 290}, true);
        // Judged by what the decoder made of the colour, not by what was coded.
        const Yuv decoded{planes.data[0][0], planes.data[1][0], planes.data[2][0]};
        EXPECT_TRUE(PixelIs(surface->grabFramebuffer(), 181, 145,
                            Reference(decoded, c.expected), kColourTolerance))
            << name;
        decoder.Close();
    }
}
