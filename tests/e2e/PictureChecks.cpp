#include "PictureChecks.h"

#include <cstdlib>

namespace picture {

QColor Average(const QImage& image, const QRect& area) {
    QRect inside = area & image.rect();
    if (inside.isEmpty())
        return {};
    long long r = 0, g = 0, b = 0;
    for (int y = inside.top(); y <= inside.bottom(); ++y)
        for (int x = inside.left(); x <= inside.right(); ++x) {
            QRgb p = image.pixel(x, y);
            r += qRed(p);
            g += qGreen(p);
            b += qBlue(p);
        }
    long long n = 1LL * inside.width() * inside.height();
    return QColor(int(r / n), int(g / n), int(b / n));
}

bool Near(const QColor& a, const QColor& b, int tolerance) {
    return std::abs(a.red() - b.red()) <= tolerance &&
           std::abs(a.green() - b.green()) <= tolerance &&
           std::abs(a.blue() - b.blue()) <= tolerance;
}

std::string Describe(const QColor& c) {
    return "rgb(" + std::to_string(c.red()) + ", " + std::to_string(c.green()) + ", " +
           std::to_string(c.blue()) + ")";
}

bool ShowsPatternBars(const QImage& window, const QRect& video, std::string* detail) {
    // 75% bars: a lit channel is near 191, an unlit one near 0.
    static const char kLit[7][4] = {"RGB", "RG-", "-GB", "-G-", "R-B", "R--", "--B"};
    const int y = video.top() + video.height() / 10;
    bool all = true;
    std::string seen;
    for (int i = 0; i < 7; ++i) {
        int x = video.left() + video.width() * (2 * i + 1) / 14;
        QColor c = Average(window, QRect(x - 2, y - 2, 5, 5));
        int channel[3] = {c.red(), c.green(), c.blue()};
        for (int k = 0; k < 3; ++k) {
            bool lit = kLit[i][k] != '-';
            if (lit ? channel[k] < 140 : channel[k] > 70)
                all = false;
        }
        seen += (i ? " " : "") + Describe(c);
    }
    if (detail)
        *detail = "bar colours seen: " + seen;
    return all;
}

int DifferingPixels(const QImage& a, const QImage& b, const QRect& area) {
    QRect inside = area & a.rect() & b.rect();
    int count = 0;
    for (int y = inside.top(); y <= inside.bottom(); ++y)
        for (int x = inside.left(); x <= inside.right(); ++x) {
            QRgb p = a.pixel(x, y), q = b.pixel(x, y);
            if (std::abs(qRed(p) - qRed(q)) + std::abs(qGreen(p) - qGreen(q)) +
                    std::abs(qBlue(p) - qBlue(q)) >
                48)
                ++count;
        }
    return count;
}

int TextRight(const QImage& image, const QRect& area) {
    QRect inside = area & image.rect();
    for (int x = inside.right(); x >= inside.left(); --x)
        for (int y = inside.top(); y <= inside.bottom(); ++y)
            if (qGray(image.pixel(x, y)) < 110)
                return x;
    return -1;
}

} // namespace picture
