// The OpenGL video surface in a real window (Xvfb, Mesa), read back pixel by
// pixel.
#include "platform/VideoSurface.h"
#include "support/H264Maker.h"
#include "support/VideoCheck.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QImage>
#include <QWindow>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <thread>
#include <vector>

using platform::CVideoSurface;
using platform::DrawRect;
using testing_support::PatternBoxLeft;
using testing_support::PatternBoxSide;
using testing_support::PatternPicture;
using testing_support::SolidPicture;
using testing_support::YuvFromRgb;
using namespace std::chrono_literals;
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

} // namespace

TEST_F(VideoSurfaceTest, PanelRectangleShowsThePictureStretchedWithABlackBorder) {
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
}

TEST_F(VideoSurfaceTest, FullWindowRectangleCoversTheWindow) {
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

TEST_F(VideoSurfaceTest, EachPictureBringsItsOwnRectangle) {
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

TEST_F(VideoSurfaceTest, StretchingFiltersLinearly) {
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

TEST_F(VideoSurfaceTest, OddSizesShowWithTruncatedChroma) {
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

TEST_F(VideoSurfaceTest, ClearTurnsTheSurfaceBlack) {
    auto picture = SolidPicture(64, 48, YuvFromRgb(255, 255, 255));
    surface->Present(picture.data(), 64, 48, {0, 0, 362, 290}, true);
    ASSERT_TRUE(WaitPainted(1));
    EXPECT_TRUE(PixelIs(surface->grabFramebuffer(), 100, 100, kWhite, kSurfaceTolerance));
    surface->Clear();
    Pump([] { return false; }, 100ms);
    QImage image = surface->grabFramebuffer();
    EXPECT_TRUE(PixelIs(image, 100, 100, kBlack, 0));
    EXPECT_TRUE(PixelIs(image, 300, 250, kBlack, 0));
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

TEST_F(VideoSurfaceTest, PictureSurvivesAMoveToAnotherWindow) {
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
