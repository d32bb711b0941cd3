// Lip sync as a viewer meets it: the real lumenfeed program, driven in its
// window, receives the real fieldunit's flashes and beeps (--flash-beep),
// which leave the field unit at the same moment of media time. The screen is
// read back every millisecond at the middle of the picture for the flash, and
// Studio_Out's monitor is recorded for the beep; both are timed by the
// system's steady clock. Prints, for each lip sync choice, the offset of the
// sound against the picture over the events (+: sound early, -: sound late,
// as broadcasters count it; their limits are +15 / -45 ms). Passes or fails
// nothing.
//
//   scripts/headless.sh build/bench/lipsync_bench [--events N] [--lumenfeed PATH]
#include "CMonitorTap.h"
#include "CScreenWatch.h"
#include "e2e/CStudioProgram.h"
#include "e2e/CTempDir.h"
#include "support/TestClient.h"
#include "tools/media/CChildProcess.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kRate = 48000;
constexpr double kEverySeconds = 1.0;
constexpr int kSettleEvents = 3; // while the link settles, not counted

// Polls a small patch of the screen for the picture turning white.
class CFlashWatch {
public:
    bool Start(const QRect& patch) {
        size = patch.width() * patch.height();
        return screen.Watch(patch, 1ms);
    }
    void Stop() { screen.Stop(); }
    std::vector<double> Flashes() {
        std::lock_guard guard(lock);
        return flashes;
    }

private:
    void Look(const std::vector<unsigned long>& pixels, double before, double after) {
        long sum = 0;
        for (unsigned long pixel : pixels)
            sum += (pixel >> 8) & 0xFF; // green
        const double mean = double(sum) / size;
        if (!white && mean > 180) {
            std::lock_guard guard(lock);
            flashes.push_back((before + after) / 2);
        }
        if (mean > 180)
            white = true;
        else if (mean < 80)
            white = false;
    }

    int size = 1;
    bool white = false;
    std::mutex lock;
    std::vector<double> flashes;
    // Last, so that its thread ends before what it fills goes.
    CScreenWatch screen{[this](const auto& pixels, double before, double after) {
        Look(pixels, before, after);
    }};
};

// Finds where each beep begins in the recording: the first sample above half
// the beep's level after a stretch of silence, less the quarter cycle of the
// 1 kHz sine it took to get there.
class CBeepWatch {
public:
    void Feed(const int16_t* samples, size_t count) {
        for (size_t i = 0; i + 1 < count; i += 2, ++frame) {
            int level = std::abs(int(samples[i]));
            if (level > 4000) {
                if (frame - lastLoud > uint64_t(kRate / 5))
                    onsets.push_back(frame);
                lastLoud = frame;
            }
        }
    }
    std::vector<uint64_t> onsets;

private:
    uint64_t frame = 0;
    uint64_t lastLoud = 0;
};

struct Figures {
    int events = 0;
    double median = 0, p10 = 0, p90 = 0, low = 0, high = 0, deviation = 0;
};

Figures Measure(const std::string& lumenfeed, int lipSync, int events) {
    Figures f;
    CTempDir dir;
    CStudioProgram studio;
    CStudioProgram::Choices choices;
    choices.more = "LipSync=" + std::to_string(lipSync) + "\n";
    std::string problem;
    uint16_t port = testing_support::FreePortUpTo(32000);
    if (!dir.Ok() || !studio.Start(lumenfeed, dir.Path(), choices, problem) ||
        !studio.SelectLoopbackHost() || !studio.SetPort(port) || !studio.PressStart()) {
        std::printf("  lumenfeed could not be started and driven: %s\n", problem.c_str());
        return f;
    }
    CBeepWatch beeps;
    std::mutex beepLock;
    CMonitorTap tap;
    if (!tap.Start("studio_out.monitor", kRate, 2, [&](const int16_t* p, size_t n) {
            std::lock_guard guard(beepLock);
            beeps.Feed(p, n);
        })) {
        std::printf("  parecord records nothing from studio_out.monitor\n");
        return f;
    }
    QRect video = CStudioProgram::kVideo.translated(studio.Frame().topLeft());
    CFlashWatch flashes;
    if (!flashes.Start(QRect(video.center() - QPoint(4, 4), QSize(8, 8)))) {
        std::printf("  cannot read the screen\n");
        return f;
    }
    const double seconds = (events + kSettleEvents + 2) * kEverySeconds;
    char duration[32], every[32];
    std::snprintf(duration, sizeof duration, "%.1f", seconds);
    std::snprintf(every, sizeof every, "%g", kEverySeconds);
    media::CChildProcess field;
    if (!field.Start({FIELDUNIT_PATH, "127.0.0.1:" + std::to_string(port), "--audio-rate",
                      std::to_string(kRate), "--flash-beep", every, "--duration", duration},
                     {}, dir.File("fieldunit.log"))) {
        std::printf("  fieldunit did not start\n");
        return f;
    }
    auto end = Clock::now() + std::chrono::duration<double>(seconds + 30);
    while (field.Running() && Clock::now() < end)
        std::this_thread::sleep_for(200ms);
    field.Stop(2s);
    flashes.Stop();
    tap.Stop();
    studio.Stop();

    // Beep times on the same clock as the flashes.
    std::vector<double> heard;
    {
        std::lock_guard guard(beepLock);
        const double origin = double(tap.OriginNs()) / 1e9;
        for (uint64_t onset : beeps.onsets)
            heard.push_back(origin + tap.TimeOf(onset) - 0.25 / 1000.0);
    }
    std::vector<double> seen = flashes.Flashes();
    std::vector<double> offsets;
    for (size_t i = kSettleEvents; i < seen.size(); ++i) {
        auto nearest = std::min_element(heard.begin(), heard.end(), [&](double a, double b) {
            return std::fabs(a - seen[i]) < std::fabs(b - seen[i]);
        });
        if (nearest != heard.end() && std::fabs(*nearest - seen[i]) < kEverySeconds / 2)
            offsets.push_back((seen[i] - *nearest) * 1000); // +: sound first
    }
    std::printf("  flashes seen %zu, beeps heard %zu, paired after settling %zu\n", seen.size(),
                heard.size(), offsets.size());
    if (offsets.empty())
        return f;
    std::sort(offsets.begin(), offsets.end());
    auto at = [&](double q) { return offsets[size_t(q * double(offsets.size() - 1) + 0.5)]; };
    f.events = int(offsets.size());
    f.median = at(0.5);
    f.p10 = at(0.1);
    f.p90 = at(0.9);
    double mean = 0, squares = 0;
    for (double o : offsets)
        mean += o / double(offsets.size());
    for (double o : offsets)
        squares += (o - mean) * (o - mean) / double(offsets.size());
    f.deviation = std::sqrt(squares);
    f.low = offsets.front();
    f.high = offsets.back();
    return f;
}

} // namespace

int main(int argc, char** argv) {
    std::string lumenfeed = LUMENFEED_PATH;
    int events = 60;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--events" && i + 1 < argc)
            events = std::max(5, std::atoi(argv[++i]));
        else if (arg == "--lumenfeed" && i + 1 < argc)
            lumenfeed = argv[++i];
        else {
            std::fprintf(stderr, "usage: lipsync_bench [--events N] [--lumenfeed PATH]\n");
            return 2;
        }
    }
    std::printf("Lip sync: fieldunit flash and beep every %g s, %d events after %d to settle,\n"
                "1280x720 at 30 fps, sound at %d Hz; offset = picture time - sound time\n"
                "(+: sound early, -: sound late; broadcasters' limits +15 / -45 ms)\n",
                kEverySeconds, events, kSettleEvents, kRate);
    const struct {
        const char* name;
        int value;
    } choices[] = {{"held for the sound (default, 0 ms)", 0}, {"Off (lowest latency)", -105}};
    for (const auto& choice : choices) {
        std::printf("\nLip sync %s\n", choice.name);
        std::fflush(stdout);
        Figures f = Measure(lumenfeed, choice.value, events);
        if (f.events)
            std::printf("  offset median %+.1f ms; 10-90 %% %+.1f .. %+.1f ms (spread %.1f ms); "
                        "standard deviation %.1f ms; extremes %+.1f .. %+.1f ms\n",
                        f.median, f.p10, f.p90, f.p90 - f.p10, f.deviation, f.low, f.high);
        std::fflush(stdout);
    }
    return 0;
}
