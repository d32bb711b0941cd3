#include "CTestPattern.h"

#include "CDigitFont.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <string>

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/pixfmt.h>
}

namespace {

// 75% bars in BT.601 limited range: white, yellow, cyan, green, magenta, red, blue.
const uint8_t kBars[7][3] = {{180, 128, 128}, {162, 44, 142}, {131, 156, 44}, {112, 72, 58},
                             {84, 184, 198},  {65, 100, 212}, {35, 212, 114}};

std::string WallClock() {
    auto now = std::chrono::system_clock::now();
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count();
    std::time_t seconds = std::time_t(ms / 1000);
    // Only the sending thread asks for the time.
    std::tm local = *std::localtime(&seconds);
    char text[32];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03d", local.tm_hour, local.tm_min,
                  local.tm_sec, int(ms % 1000));
    return text;
}

} // namespace

CTestPattern::~CTestPattern() {
    Close();
}

bool CTestPattern::Open(int w, int h, int framesPerSecond) {
    Close();
    width = w;
    height = h;
    fps = framesPerSecond;
    frame = av_frame_alloc();
    if (!frame)
        return false;
    frame->format = AV_PIX_FMT_YUV420P;
    frame->width = w;
    frame->height = h;
    if (av_frame_get_buffer(frame, 0) < 0) {
        Close();
        return false;
    }
    return true;
}

void CTestPattern::Close() {
    if (frame)
        av_frame_free(&frame);
}

void CTestPattern::Fill(int x0, int y0, int x1, int y1, uint8_t y, uint8_t u, uint8_t v) {
    x0 = std::max(x0, 0) & ~1;
    y0 = std::max(y0, 0) & ~1;
    x1 = std::min(x1, width);
    y1 = std::min(y1, height);
    for (int row = y0; row < y1; ++row)
        for (int col = x0; col < x1; ++col)
            frame->data[0][row * frame->linesize[0] + col] = y;
    for (int row = y0 / 2; row < (y1 + 1) / 2; ++row)
        for (int col = x0 / 2; col < (x1 + 1) / 2; ++col) {
            frame->data[1][row * frame->linesize[1] + col] = u;
            frame->data[2][row * frame->linesize[2] + col] = v;
        }
}

AVFrame* CTestPattern::Render(int64_t index) {
    // Made writable keeps what the frame holds, a frozen picture too.
    if (!frame || av_frame_make_writable(frame) < 0)
        return nullptr;
    const bool faulty = resumeAt < 0 || index < resumeAt;
    if (faulty && blackFrom >= 0 && index >= blackFrom) {
        Fill(0, 0, width, height, 16, 128, 128);
        holding = false;
    } else if (faulty && freezeFrom >= 0 && index >= freezeFrom) {
        if (!holding)
            Draw(index);
        holding = true;
    } else {
        Draw(index);
        holding = false;
    }
    frame->pts = index * 1000000 / fps;
    return frame;
}

void CTestPattern::Draw(int64_t index) {
    if (flashEvery > 0) {
        const int64_t every = std::max<int64_t>(1, std::llround(flashEvery * fps));
        const bool white = index >= every && index % every < kFlashFrames;
        Fill(0, 0, width, height, white ? 235 : 16, 128, 128);
        return;
    }
    const int barsBottom = height * 2 / 3;
    for (int i = 0; i < 7; ++i)
        Fill(width * i / 7, 0, width * (i + 1) / 7, barsBottom, kBars[i][0], kBars[i][1],
             kBars[i][2]);
    Fill(0, barsBottom, width, height, 16, 128, 128);

    // A box crossing the bars once every four seconds, back and forth.
    const int box = std::max(8, height / 6) & ~1;
    const int64_t period = 8LL * fps;
    int64_t phase = index % period;
    int64_t travel = phase < period / 2 ? phase : period - phase;
    int x = int((width - box) * travel / (period / 2));
    int y = (barsBottom - box) / 2;
    Fill(x, y, x + box, y + box, 235, 128, 128);
    Fill(x + box / 4, y + box / 4, x + box * 3 / 4, y + box * 3 / 4, 16, 128, 128);

    // Frame number and wall clock, white on the dark band.
    const int scale = std::max(1, (height - barsBottom) / 2 / (CDigitFont::kGlyphHeight + 2));
    char number[24];
    std::snprintf(number, sizeof number, "%08lld", static_cast<long long>(index));
    const int line = (CDigitFont::kGlyphHeight + 2) * scale;
    const int left = std::max(0, (width - CDigitFont::TextWidth("00:00:00.000", scale)) / 2);
    CDigitFont::Draw(frame->data[0], frame->linesize[0], width, height, left, barsBottom + scale,
                     scale, number, 235);
    CDigitFont::Draw(frame->data[0], frame->linesize[0], width, height, left,
                     barsBottom + scale + line, scale, WallClock(), 235);
}
