// The test picture: colour bars, a box that moves across them, and on a dark
// band the frame number and the wall clock, so that a viewer can see frames
// that are dropped, repeated or late.
#pragma once

#include <cstdint>

struct AVFrame;

class CTestPattern {
public:
    CTestPattern() = default;
    virtual ~CTestPattern();
    CTestPattern(const CTestPattern&) = delete;
    CTestPattern& operator=(const CTestPattern&) = delete;

    bool Open(int width, int height, int fps);
    void Close();

    // The picture for frame number index (YUV 4:2:0, owned by this object,
    // valid until the next call), pts set to the frame's time in microseconds.
    AVFrame* Render(int64_t index);
    // Non-zero: black pictures instead, white for kFlashFrames from every
    // whole multiple of everySeconds on (the first at everySeconds).
    void SetFlashes(double everySeconds) { flashEvery = everySeconds; }
    static constexpr int kFlashFrames = 3;
    // Faults for the studio's alarms, by frame number (negative: never):
    // black pictures from blackFrom on, and from freezeFrom on the picture
    // of that frame again and again; the pattern as usual from resumeAt on.
    void SetFaults(int64_t blackFrom, int64_t freezeFrom, int64_t resumeAt) {
        this->blackFrom = blackFrom;
        this->freezeFrom = freezeFrom;
        this->resumeAt = resumeAt;
    }

private:
    void Draw(int64_t index);
    void Fill(int x0, int y0, int x1, int y1, uint8_t y, uint8_t u, uint8_t v);

    AVFrame* frame = nullptr;
    int width = 0;
    int height = 0;
    int fps = 30;
    double flashEvery = 0;
    int64_t blackFrom = -1, freezeFrom = -1, resumeAt = -1;
    bool holding = false; // the frame holds the frozen picture
};
