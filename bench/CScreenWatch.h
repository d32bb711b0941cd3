// Reads a small patch of the screen back through the X server every few
// milliseconds, on a thread of its own, and hands each reading on.
#pragma once

#include "core/CThread.h"

#include <QRect>

#include <chrono>
#include <functional>
#include <vector>

typedef struct _XDisplay Display;

class CScreenWatch : public CThread {
public:
    // The patch's pixels row by row, read between the steady clock seconds
    // before and after.
    using Look =
        std::function<void(const std::vector<unsigned long>& pixels, double before, double after)>;

    explicit CScreenWatch(Look look) : look(std::move(look)) {}
    ~CScreenWatch() override;

    // Starts reading patch every interval; false without a display.
    bool Watch(const QRect& patch, std::chrono::milliseconds every);

protected:
    uint32_t Execute() override;

private:
    Look look;
    Display* display = nullptr; // the thread's while it runs
    QRect where;
    std::chrono::milliseconds interval{1};
};
