// What the tests read from a picture of the studio's window.
#pragma once

#include <QColor>
#include <QImage>
#include <QRect>

#include <string>

namespace picture {

QColor Average(const QImage& image, const QRect& area);
// Each channel within tolerance.
bool Near(const QColor& a, const QColor& b, int tolerance);
std::string Describe(const QColor& c);

// The field unit's test pattern fills the top two thirds with seven bars:
// grey, yellow, cyan, green, magenta, red, blue. True when the video area
// shows them along a line near its top, where nothing moves over them; why
// not, in detail, otherwise.
bool ShowsPatternBars(const QImage& window, const QRect& video, std::string* detail = nullptr);

// Pixels of area that differ between two pictures by more than a little.
int DifferingPixels(const QImage& a, const QImage& b, const QRect& area);

// The right-most column of area holding dark (text) pixels, -1 when none.
int TextRight(const QImage& image, const QRect& area);

} // namespace picture
