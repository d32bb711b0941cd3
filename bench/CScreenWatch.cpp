#include "CScreenWatch.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace {

double Now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

} // namespace

CScreenWatch::~CScreenWatch() {
    Stop();
    if (display)
        XCloseDisplay(display);
}

bool CScreenWatch::Watch(const QRect& patch, std::chrono::milliseconds every) {
    if (Running())
        return false;
    if (display)
        XCloseDisplay(display);
    display = XOpenDisplay(nullptr);
    if (!display)
        return false;
    where = patch;
    interval = every;
    return Start(0);
}

uint32_t CScreenWatch::Execute() {
    const Window root = DefaultRootWindow(display);
    std::vector<unsigned long> pixels;
    do {
        const double before = Now();
        XImage* image = XGetImage(display, root, where.x(), where.y(), where.width(),
                                  where.height(), AllPlanes, ZPixmap);
        const double after = Now();
        if (image) {
            pixels.clear();
            for (int y = 0; y < where.height(); ++y)
                for (int x = 0; x < where.width(); ++x)
                    pixels.push_back(XGetPixel(image, x, y));
            XDestroyImage(image);
            look(pixels, before, after);
        }
    } while (!StopRequested(uint32_t(interval.count())));
    return 0;
}
