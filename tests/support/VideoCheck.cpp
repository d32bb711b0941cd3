#include "VideoCheck.h"

#include "tools/media/CH264Encoder.h"
#include "tools/media/I420Picture.h"

#include <QApplication>

#include <thread>

namespace testing_support {

void EnsureApplication() {
    static int argc = 1;
    static char name[] = "lumenfeed-video-test";
    static char* argv[] = {name, nullptr};
    static QApplication* app = new QApplication(argc, argv);
    (void)app;
}

bool Pump(const std::function<bool()>& cond, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!cond()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

::testing::AssertionResult PixelIs(const QImage& image, int x, int y, Rgb want, int tolerance) {
    QRgb got = image.pixel(x, y);
    if (std::abs(qRed(got) - want.r) <= tolerance && std::abs(qGreen(got) - want.g) <= tolerance &&
        std::abs(qBlue(got) - want.b) <= tolerance)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << "pixel (" << x << ", " << y << ") is " << qRed(got) << "," << qGreen(got) << ","
           << qBlue(got) << ", expected " << want.r << "," << want.g << "," << want.b;
}

std::vector<uint8_t> Solid(int width, int height, Rgb c) {
    return media::SolidPicture(width, height, media::YuvFromRgb(c.r, c.g, c.b));
}

void ExpectPattern(const QImage& image, const platform::DrawRect& r, int width, int height,
                   int index, int tolerance) {
    auto at = [&](double fx, double fy, Rgb want) {
        int x = r.left + int(fx * r.width), y = r.top + int(fy * r.height);
        EXPECT_TRUE(PixelIs(image, x, y, want, tolerance))
            << "at " << fx << ", " << fy << " of picture " << index;
    };
    at(0.25, 0.125, kRed);
    at(0.75, 0.125, kGreen);
    at(0.25, 0.875, kBlue);
    at(0.75, 0.875, kWhite);
    // Inside the box: a quarter down from its top, half across.
    int side = media::PatternBoxSide(width, height);
    int top = ((height / 2) & ~1) - side / 2;
    at((media::PatternBoxLeft(width, index) + side / 2.0) / width, (top + side / 4.0) / height,
       kYellow);
}

} // namespace testing_support
