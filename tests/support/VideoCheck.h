// Helpers for tests that look at pictures on a real video surface: the GUI
// application, running its loop until something holds, and pixel checks.
#pragma once

#include "platform/VideoWindow.h"

#include <QImage>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <vector>

namespace testing_support {

// A QApplication for the whole test process (GL teardown at exit is not
// worth the risk, so it is never destroyed).
void EnsureApplication();

// Runs the GUI thread's loop until cond holds or the time-out passes.
bool Pump(const std::function<bool()>& cond,
          std::chrono::milliseconds timeout = std::chrono::seconds(10));

struct Rgb {
    int r, g, b;
};
inline constexpr Rgb kRed{255, 0, 0}, kGreen{0, 255, 0}, kBlue{0, 0, 255}, kWhite{255, 255, 255},
    kYellow{255, 255, 0}, kBlack{0, 0, 0}, kPurple{120, 40, 200};

// Coded pictures are close to their source, not equal.
::testing::AssertionResult PixelIs(const QImage& image, int x, int y, Rgb want, int tolerance = 24);

// A solid I420 picture of colour c.
std::vector<uint8_t> Solid(int width, int height, Rgb c);

// The pattern picture's four quadrants where they show in r, and the moving
// box of picture index at its place.
void ExpectPattern(const QImage& image, const platform::DrawRect& r, int width, int height,
                   int index, int tolerance = 24);

} // namespace testing_support
