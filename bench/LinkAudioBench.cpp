// What the listener hears on a real link, measured from outside: the real
// lumenfeed program, started with stored choices and driven through its
// window, and the real fieldunit streaming its test pattern and 1 kHz tone to
// it over 127.0.0.1. What the studio plays on Studio_Out is recorded from the
// sink's monitor with parecord and checked as a steady tone (CToneCheck):
// gaps, and discontinuities heard as clicks. The return audio is checked by
// fieldunit itself (--return-tone): packets received against those due, gaps
// and discontinuities. Prints figures; passes or fails nothing.
//
//   scripts/headless.sh build/bench/link_audio_bench [--seconds N] [--scenario NAME]
//
// Scenarios (default seconds):
//   control        a 1 kHz tone played with paplay straight into Studio_Out: the
//                  check itself, must hear nothing wrong (20)
//   programme      fieldunit at 44100 Hz to lumenfeed, Studio_Out checked from
//                  0.5 s after the tone began (--skip S; 30); programme48 the
//                  same at 48000 Hz
//   drift+, drift- the same with the field unit's clock 0.5 % fast or slow (60)
//   return-paplay, return-pacat
//                  Studio_Mic chosen as the studio's audio, a 600 Hz tone fed
//                  into Studio_Mic_Feed by paplay or by pacat with 20 ms
//                  latency, the return audio checked by fieldunit (60)
//   all            all of the above in turn
//   soak           an hour (or --seconds) with the field unit's clock 100 ppm
//                  fast: figures, latency drift and lumenfeed's resident
//                  memory every minute
//   stalls         network stalls (the field unit holds everything back, then
//                  sends the backlog at once) of 250 ms every 5 s and 500 ms
//                  every 10 s, a minute of them, at the receive latency Auto
//                  and at 700 ms: gaps, clicks and seconds lost on
//                  Studio_Out, the longest stretch without a new picture on
//                  the screen, and the latency before, at worst and a minute
//                  after the last stall; each run on its own as
//                  stalls250-auto, stalls500-auto, stalls250-700, stalls500-700
//
// Runs of five minutes or more have a plain player beside them: the same tone
// played by pacat with 30 ms of buffer into a null sink of their own, checked
// the same way. Where both hear a gap at the same moment, the machine stalled
// (the sound server, or everything at once), not the studio.
//
// The field unit streams its default test pattern (1280x720, 30 fps) unless
// --size WxH says otherwise. --keep DIR writes the stretch of Studio_Out that each scenario checked
// to DIR/NAME.raw (s16le, 44100 Hz, stereo; event times count from its start), to listen to.
// --lumenfeed PATH measures another build of the program.
// --clip FILE has the field unit send FILE as it is (H.264 and AAC, say a
// 1080p picture with a steady 1 kHz tone) instead of encoding its pattern:
// a sender that costs next to nothing here, as one elsewhere would.
// --busy N runs N CPU-bound processes beside the programs throughout. Run as
// root, the field unit runs at real-time priority: it
// stands for the far end of the link, and its own lateness is printed.
//
// Latency drift. The audio queued in the studio cannot be seen from outside,
// so the tone carries timing marks: with --tone-marks S fieldunit glides its
// tone 5 % up in pitch and back within 40 ms, centred on every multiple of S
// seconds of media time; smooth, so the check hears no click, and found again
// by the check to well under a millisecond. Mark k leaves the field unit
// k * S / (1 + ppm / 1e6) real seconds after the stream began, and is heard
// when the sink plays its place in the recording. The sink's frame count is
// no clock: the null sinks here run some hundred ppm fast against the system
// clock, which over an hour would look like a latency drift of a second. So
// each frame is timed by the system's steady clock, from when the recorder's
// pieces came (the earliest within two seconds, as deliveries are only ever
// late); the sink's own clock is printed too. The latency of mark k less
// that of the first mark checked is then
//     (heard_k - heard_first) - (k - first) * S / (1 + ppm / 1e6),
// the latency drift. A studio that holds its queue steady keeps it near zero;
// one whose queue fills from a fast field unit shows it growing by ppm / 1e6
// seconds a second. What the studio dropped or added to hold its queue is the
// surplus of the field unit's clock over the sink's, over the span, less the
// drift.
#include "CMonitorTap.h"
#include "CScreenWatch.h"
#include "CStudioProgram.h"
#include "CTempDir.h"
#include "LinkTones.h"
#include "ProcessFigures.h"
#include "support/HttpExchange.h"
#include "support/TestClient.h"
#include "tools/media/CChildProcess.h"
#include "tools/tonecheck/CToneCheck.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <QRect>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

using media::CChildProcess;
using media::RunCommand;

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

constexpr double kMarkSeconds = 5;
constexpr double kSoakMarkSeconds = 10;

struct Settings {
    double seconds = 0; // 0: each scenario's own
    std::string scenario = "all";
    std::string size; // empty: the field unit's own, 1280x720 at 30 fps
    std::string keep;
    std::string lumenfeed = LUMENFEED_PATH;
    int busy = 0; // CPU-bound processes beside the programs
    std::string clip; // a file the field unit sends as it is, instead of its pattern
    // Left out after the tone is first heard: the listener hears the start as
    // well, so only the tone's own onset.
    double skip = 0.5;
};

double Pick(const Settings& s, double fallback) {
    return s.seconds > 0 ? s.seconds : fallback;
}

// One second of a sine at amplitude (full scale 1) on both channels of 16-bit
// PCM. Seconds played one after another keep the phase exact, for a whole
// number of hertz.
std::vector<int16_t> ToneSecond(int rate, double frequency, double amplitude) {
    std::vector<int16_t> samples(size_t(rate) * 2);
    for (int n = 0; n < rate; ++n) {
        const double v = amplitude * std::sin(2 * M_PI * frequency * double(n) / rate);
        samples[2 * size_t(n)] = samples[2 * size_t(n) + 1] = int16_t(std::lround(v * 32767));
    }
    return samples;
}

// The same as a WAV file or as raw samples, seconds long.
bool WriteTone(const std::string& path, bool wav, int rate, double frequency, double amplitude,
               double seconds) {
    std::ofstream out(path, std::ios::binary);
    const uint32_t frames = uint32_t(seconds * rate);
    const uint32_t bytes = frames * 4;
    auto u32 = [&](uint32_t v) { out.write(reinterpret_cast<const char*>(&v), 4); };
    auto u16 = [&](uint16_t v) { out.write(reinterpret_cast<const char*>(&v), 2); };
    if (wav) {
        out.write("RIFF", 4);
        u32(36 + bytes);
        out.write("WAVEfmt ", 8);
        u32(16);
        u16(1);
        u16(2);
        u32(uint32_t(rate));
        u32(uint32_t(rate) * 4);
        u16(4);
        u16(16);
        out.write("data", 4);
        u32(bytes);
    }
    const std::vector<int16_t> second = ToneSecond(rate, frequency, amplitude);
    for (uint32_t n = 0; n < frames; n += uint32_t(rate)) {
        const uint32_t count = std::min(frames - n, uint32_t(rate));
        out.write(reinterpret_cast<const char*>(second.data()), std::streamsize(count) * 4);
    }
    return bool(out);
}

struct Drift {
    int marks = 0;
    double span = 0;   // seconds from the first mark to the last
    double latest = 0; // drift of the last mark, seconds
    double lowest = 0, highest = 0;
    bool measured = false;   // from the field unit's log of departures
    double firstLatency = 0; // from departure to heard, of the first mark
    std::vector<double> latencies; // of every mark, from departure to heard
};

// The median of the latencies and how far the marks strayed from it, in
// seconds: a start-up that left the queue a step above its target and let
// it come back does not count against the rest.
struct Spread {
    double median = 0, below = 0, above = 0;
};
Spread AroundMedian(std::vector<double> v) {
    Spread s;
    if (v.empty())
        return s;
    std::vector<double> sorted = v;
    std::sort(sorted.begin(), sorted.end());
    s.median = sorted[sorted.size() / 2];
    s.below = sorted.front() - s.median;
    s.above = sorted.back() - s.median;
    return s;
}

// The latency drift that the marks heard show; see the top of this file.
Drift LatencyDrift(const std::vector<double>& heard, double every, int ppm) {
    Drift d;
    if (heard.empty())
        return d;
    const double interval = every / (1 + ppm / 1e6);
    for (double at : heard) {
        const double since = at - heard.front();
        const double k = std::round(since / interval);
        const double drift = since - k * interval;
        d.lowest = std::min(d.lowest, drift);
        d.highest = std::max(d.highest, drift);
        d.latest = drift;
        d.span = since;
        ++d.marks;
    }
    return d;
}

// Checks a recording of the tone: left alone until the tone starts, then
// skip seconds left out, then seconds checked (0: for as long as it comes).
class Listening {
public:
    Listening(double frequency, double skip, double seconds, const std::string& keepPath = {})
        : check(kRecordRate, 2, frequency), skipFrames(uint64_t(skip * kRecordRate)),
          checkFrames(seconds > 0 ? uint64_t(seconds * kRecordRate) : UINT64_MAX) {
        if (!keepPath.empty())
            kept.open(keepPath, std::ios::binary);
    }

    void Feed(const int16_t* samples, size_t count) {
        std::lock_guard guard(lock);
        const size_t frames = count / 2;
        size_t from = 0;
        if (!heard) {
            // The tone begins at its first loud sample.
            while (from < frames && std::abs(samples[2 * from]) < 2000 &&
                   std::abs(samples[2 * from + 1]) < 2000)
                ++from;
            if (from == frames) {
                seen += frames;
                return;
            }
            heard = true;
            begin = seen + from + skipFrames;
        }
        const uint64_t first = std::max<uint64_t>(seen + from, begin);
        const uint64_t end = checkFrames == UINT64_MAX ? UINT64_MAX : begin + checkFrames;
        const uint64_t last = std::min<uint64_t>(seen + frames, end);
        if (last > first) {
            check.Feed(samples + 2 * (first - seen), size_t(last - first) * 2);
            if (kept.is_open())
                kept.write(reinterpret_cast<const char*>(samples + 2 * (first - seen)),
                           std::streamsize(last - first) * 4);
        }
        seen += frames;
    }

    bool Heard() {
        std::lock_guard guard(lock);
        return heard;
    }
    // Where in the recording the check begins, in frames.
    uint64_t BeginFrame() {
        std::lock_guard guard(lock);
        return begin;
    }
    bool Done() {
        std::lock_guard guard(lock);
        return heard && checkFrames != UINT64_MAX && seen >= begin + checkFrames;
    }
    // Where in the recording the marks heard so far are, in frames.
    std::vector<uint64_t> MarkFrames() {
        std::lock_guard guard(lock);
        std::vector<uint64_t> at;
        for (double mark : check.Marks())
            at.push_back(begin + uint64_t(std::llround(mark * kRecordRate)));
        return at;
    }
    // Reads the check while the tap may still be feeding it.
    template <typename Reader> auto Read(Reader reader) {
        std::lock_guard guard(lock);
        return reader(check);
    }

private:
    std::mutex lock;
    CToneCheck check;
    const uint64_t skipFrames;
    const uint64_t checkFrames;
    uint64_t seen = 0;
    bool heard = false;
    uint64_t begin = 0;
    std::ofstream kept;
};

std::string KeepPath(const Settings& s, const std::string& name) {
    return s.keep.empty() ? std::string() : s.keep + "/" + name + ".raw";
}

std::string Events(const CToneCheck& c) {
    std::string text;
    char item[80];
    const auto& events = c.FirstEvents();
    for (size_t i = 0; i < std::min<size_t>(events.size(), 10); ++i) {
        const CToneCheck::Event& e = events[i];
        if (e.gap)
            std::snprintf(item, sizeof item, "%sgap at %.3f s (%.0f ms)", text.empty() ? "" : ", ",
                          e.at, e.silence * 1000);
        else
            std::snprintf(item, sizeof item, "%sdiscontinuity at %.3f s", text.empty() ? "" : ", ",
                          e.at);
        text += item;
    }
    return text;
}

// How many of the return's events (fieldunit's "events at (s): 1.234
// 5.678g ...") the feed itself had too: the two timelines differ by a
// constant, taken as the one that pairs the most events within 15 ms.
std::pair<size_t, size_t> EventsOfTheFeed(const std::string& times, const CToneCheck& feed) {
    std::vector<double> back;
    std::istringstream items(times);
    for (std::string item; items >> item;)
        back.push_back(std::atof(item.c_str()));
    auto paired = [&](double shift) {
        size_t n = 0;
        for (double r : back)
            for (const CToneCheck::Event& e : feed.FirstEvents())
                if (std::abs(r - shift - e.at) < 0.015) {
                    ++n;
                    break;
                }
        return n;
    };
    size_t best = 0;
    for (double r : back)
        for (const CToneCheck::Event& e : feed.FirstEvents())
            best = std::max(best, paired(r - e.at));
    return {best, back.size()};
}

void PrintChecked(const char* what, Listening& listening, CMonitorTap& tap, double loadBefore) {
    listening.Read([&](const CToneCheck& c) {
        std::printf("  %s: %.1f s checked: %d gaps, %d discontinuities\n", what,
                    c.SecondsAnalysed(), c.Gaps(), c.Discontinuities());
        if (!c.FirstEvents().empty())
            std::printf("    first (seconds into the check): %s\n", Events(c).c_str());
        return 0;
    });
    std::printf("    recorder: %llu frames in %.2f s, the sink's clock %+.0f ppm against the "
                "system's; load average %.1f before, %.1f after\n",
                static_cast<unsigned long long>(tap.Frames()), tap.Seconds(), tap.SinkClockPpm(),
                loadBefore, Load());
}

// A plain player beside a long run: the same tone played by pacat, with a
// small buffer in the sound server (30 ms), into a null sink of its own, and
// checked the same way. A gap heard in both at the same moment is the
// machine's (the sound server, or the whole machine, held up), not the
// studio's: no player at such a latency rides it.
class CBesideControl {
public:
    CBesideControl() : listening(kProgrammeHz, 1, 0) {}
    ~CBesideControl() { Stop(); }

    bool Start(const CTempDir& dir) {
        std::string index;
        if (RunCommand({"pactl", "load-module", "module-null-sink", "sink_name=lumenfeed_control",
                        "sink_properties=device.description=Control_Out"},
                       &index) != 0)
            return false;
        module = std::atoi(index.c_str());
        const std::string fifo = dir.File("control.fifo");
        if (mkfifo(fifo.c_str(), 0600) != 0)
            return false;
        if (!tap.Start("lumenfeed_control.monitor", kRecordRate, 2,
                       [this](const int16_t* p, size_t n) { listening.Feed(p, n); }))
            return false;
        if (!player.Start({"pacat", "-p", "--device=lumenfeed_control", "--latency-msec=30",
                           "--raw", "--format=s16le", "--rate=44100", "--channels=2", fifo},
                          {}, dir.File("control.log")))
            return false;
        signal(SIGPIPE, SIG_IGN);
        writer = std::thread([this, fifo] { Write(fifo); });
        return true;
    }

    // The recording ends before the tone, so that the player's end is not
    // heard as a gap.
    void Stop() {
        stop = true;
        tap.Stop();
        player.Stop(1s);
        if (writer.joinable())
            writer.join();
        if (module >= 0)
            RunCommand({"pactl", "unload-module", std::to_string(module)});
        module = -1;
    }

    // The steady clock's seconds at which a check's first events were heard.
    static std::vector<double> EventTimes(Listening& l, CMonitorTap& tap) {
        const uint64_t begin = l.BeginFrame();
        std::vector<double> at;
        l.Read([&](const CToneCheck& c) {
            for (const CToneCheck::Event& e : c.FirstEvents())
                at.push_back(double(tap.OriginNs()) / 1e9 +
                             tap.TimeOf(begin + uint64_t(e.at * kRecordRate)));
            return 0;
        });
        return at;
    }

    Listening listening;
    CMonitorTap tap;

private:
    void Write(const std::string& fifo) {
        // Opened without blocking, so that a player that never came cannot
        // hold the run.
        int fd = -1;
        for (int i = 0; i < 100 && fd < 0 && !stop; ++i) {
            fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
            if (fd < 0)
                std::this_thread::sleep_for(50ms);
        }
        if (fd < 0)
            return;
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
        const std::vector<int16_t> second = ToneSecond(kRecordRate, kProgrammeHz, 0.25);
        const auto* bytes = reinterpret_cast<const char*>(second.data());
        const size_t size = second.size() * 2;
        while (!stop) {
            size_t done = 0;
            while (done < size && !stop) {
                const ssize_t n = write(fd, bytes + done, size - done);
                if (n <= 0) {
                    stop = true;
                    break;
                }
                done += size_t(n);
            }
        }
        close(fd);
    }

    int module = -1;
    CChildProcess player;
    std::thread writer;
    std::atomic<bool> stop{false};
};

// When each mark left the field unit, on the steady clock, from its log
// ("mark K sent at S s"), in the order sent.
std::vector<double> MarksSent(const CChildProcess& field) {
    std::vector<double> sent;
    std::istringstream lines(field.Output());
    std::string line;
    while (std::getline(lines, line)) {
        long long k = 0;
        double at = 0;
        if (auto p = line.find("mark "); p != std::string::npos &&
                                         std::sscanf(line.c_str() + p, "mark %lld sent at %lf s",
                                                     &k, &at) == 2)
            sent.push_back(at);
    }
    return sent;
}

// The marks heard, by the system's clock. With the field unit's log of when
// each left, the latency of each is measured from its departure, so that a
// field unit that falls behind (or catches up) is not taken for the studio's
// queue; without it, from the field unit's clock as set.
Drift HeardDrift(Listening& listening, CMonitorTap& tap, double every, int ppm,
                 const CChildProcess* field = nullptr) {
    std::vector<double> heard;
    const double origin = double(tap.OriginNs()) / 1e9;
    for (uint64_t frame : listening.MarkFrames())
        heard.push_back(origin + tap.TimeOf(frame));
    const std::vector<double> sent = field ? MarksSent(*field) : std::vector<double>{};
    if (sent.empty())
        return LatencyDrift(heard, every, ppm);
    Drift d;
    double first = 0, firstHeard = 0;
    for (double at : heard) {
        // The last mark to leave before this one was heard is this one: the
        // studio holds well under a mark's interval.
        auto after = std::lower_bound(sent.begin(), sent.end(), at);
        if (after == sent.begin())
            continue;
        const double latency = at - *(after - 1);
        if (d.marks == 0) {
            first = latency;
            d.firstLatency = latency;
            firstHeard = at;
        }
        d.latencies.push_back(latency);
        const double drift = latency - first;
        d.lowest = std::min(d.lowest, drift);
        d.highest = std::max(d.highest, drift);
        d.latest = drift;
        d.span = at - firstHeard;
        d.measured = true;
        ++d.marks;
    }
    return d;
}

// What the studio had to drop or add is set by the field unit's clock
// against the sink's, which plays the audio out.
void PrintDrift(const Drift& d, int ppm, double sinkPpm) {
    if (d.marks < 2) {
        std::printf("    latency drift: %d timing marks heard, too few to tell\n", d.marks);
        return;
    }
    const double surplus = d.span * (ppm - sinkPpm) / 1e6;
    std::printf(
        "    latency drift over %.0f s (%d marks): %+.1f ms (lowest %+.1f, highest %+.1f)\n",
        d.span, d.marks, d.latest * 1000, d.lowest * 1000, d.highest * 1000);
    std::printf("    the field unit's clock against the sink's: %+.0f ppm, %+.1f ms over the span; "
                "the studio %s about %.1f ms of audio to hold its queue\n",
                ppm - sinkPpm, surplus * 1000, surplus - d.latest >= 0 ? "dropped" : "added",
                std::fabs(surplus - d.latest) * 1000);
}

std::string Tail(const std::string& text, size_t lines) {
    size_t at = text.size();
    while (lines-- > 0 && at > 0) {
        size_t nl = text.rfind('\n', at - 1);
        if (nl == std::string::npos) {
            at = 0;
            break;
        }
        at = nl;
    }
    return text.substr(at);
}

// The field unit's own word on whether it kept time: a stall of its own
// reaches the studio like one of the network's.
void PrintPacing(const CChildProcess& field) {
    const std::string out = field.Output();
    size_t at = out.rfind("pacing: ");
    if (at == std::string::npos)
        return;
    size_t end = out.find('\n', at);
    std::printf("    fieldunit %s\n", out.substr(at, end - at).c_str());
}

// lumenfeed started as an operator starts it: its stored choices, the
// loopback address, a port of the run's own, Start pressed.
bool StartStudio(const Settings& s, CStudioProgram& studio, const CTempDir& dir, int audioSource,
                 uint16_t& port) {
    port = testing_support::FreePortUpTo(32000);
    CStudioProgram::Choices choices;
    choices.audioSource = audioSource;
    std::string problem;
    if (!dir.Ok() || port == 0) {
        std::printf("  cannot set up: no private directory or no free port\n");
        return false;
    }
    if (!studio.Start(s.lumenfeed, dir.Path(), choices, problem)) {
        std::printf("  lumenfeed did not start: %s\n", problem.c_str());
        return false;
    }
    if (!studio.SelectLoopbackHost() || !studio.SetPort(port) || !studio.PressStart()) {
        std::printf("  cannot drive lumenfeed's window (xdotool)\n");
        return false;
    }
    return true;
}

std::vector<std::string> FieldUnitArgs(const Settings& s, uint16_t port, int rate, double seconds) {
    char duration[32];
    std::snprintf(duration, sizeof duration, "%.1f", seconds);
    std::vector<std::string> args = {FIELDUNIT_PATH, "127.0.0.1:" + std::to_string(port),
                                     "--duration", duration};
    if (s.clip.empty())
        args.insert(args.end(), {"--audio-rate", std::to_string(rate)});
    else
        args.insert(args.end(), {"--file", s.clip, "--loop"});
    // The field unit stands for a machine of its own at the far end of the
    // link: where we may, it runs at real-time priority, above ordinary work
    // here though below the sound server and the studio's sound devices, so
    // that it is not what stalls (encoding its pattern took it up to a
    // hundred milliseconds late on a busy machine); its own lateness is
    // printed all the same.
    if (geteuid() == 0)
        args.insert(args.begin(), {"chrt", "-r", "3"});
    if (!s.size.empty() && s.clip.empty())
        args.insert(args.end(), {"--size", s.size});
    return args;
}

// Waits until done() or the field unit has ended or the deadline has passed;
// every() is called once a minute.
void WaitFor(const std::function<bool()>& done, CChildProcess& field, double seconds,
             const std::function<void(int minute)>& every = nullptr) {
    const auto start = Clock::now();
    const auto deadline = start + std::chrono::duration<double>(seconds);
    int minute = 0;
    while (!done() && field.Running() && Clock::now() < deadline) {
        std::this_thread::sleep_for(200ms);
        if (every && Clock::now() - start >= std::chrono::minutes(minute + 1))
            every(++minute);
    }
}

// The field unit's tone played by lumenfeed on Studio_Out.
// Long runs print their figures once a minute as they go.
void Programme(const Settings& s, const char* name, int rate, int ppm, double seconds,
               double markEvery, bool soak = false) {
    std::printf("\n%s: fieldunit test pattern, tone at %d Hz", name, rate);
    if (ppm != 0)
        std::printf(", field unit clock %+d ppm", ppm);
    std::printf(", %.0f s checked after %.1f s\n", seconds, s.skip);
    std::fflush(stdout);
    const double load = Load();
    CTempDir dir;
    CStudioProgram studio;
    uint16_t port = 0;
    if (!StartStudio(s, studio, dir, 0, port))
        return;
    Listening listening(kProgrammeHz, s.skip, seconds, KeepPath(s, name));
    CMonitorTap tap;
    if (!tap.Start("studio_out.monitor", kRecordRate, 2,
                   [&](const int16_t* p, size_t n) { listening.Feed(p, n); })) {
        std::printf("  parecord records nothing from studio_out.monitor\n");
        return;
    }
    // Long runs have a plain player beside them, to tell the machine's
    // stalls from the studio's faults.
    const bool longRun = soak || seconds >= 300;
    std::unique_ptr<CBesideControl> beside;
    if (longRun) {
        beside = std::make_unique<CBesideControl>();
        if (!beside->Start(dir)) {
            std::printf("  the plain player beside the run did not start\n");
            beside.reset();
        }
    }
    auto args = FieldUnitArgs(s, port, rate, s.skip + seconds + 15);
    if (ppm != 0)
        args.insert(args.end(), {"--clock-ppm", std::to_string(ppm)});
    if (markEvery > 0) {
        char every[32];
        std::snprintf(every, sizeof every, "%g", markEvery);
        args.insert(args.end(), {"--tone-marks", every});
    }
    CChildProcess field;
    if (!field.Start(args, {}, dir.File("fieldunit.log"))) {
        std::printf("  fieldunit did not start\n");
        return;
    }
    int lastGaps = 0, lastClicks = 0;
    long firstKb = 0, lastKb = 0, mostKb = 0;
    auto minutely = [&](int minute) {
        listening.Read([&](const CToneCheck& c) {
            std::printf("  minute %3d: %5.0f s checked, gaps %d (+%d), discontinuities %d (+%d)",
                        minute, c.SecondsAnalysed(), c.Gaps(), c.Gaps() - lastGaps,
                        c.Discontinuities(), c.Discontinuities() - lastClicks);
            lastGaps = c.Gaps();
            lastClicks = c.Discontinuities();
            return 0;
        });
        if (markEvery > 0) {
            Drift d = HeardDrift(listening, tap, markEvery, ppm, &field);
            if (d.marks >= 2)
                std::printf(", latency drift %+.1f ms", d.latest * 1000);
            Drift byClock = HeardDrift(listening, tap, markEvery, ppm);
            if (d.measured && byClock.marks >= 2)
                std::printf(" (by the field unit's clock %+.1f ms)", byClock.latest * 1000);
        }
        if (beside)
            beside->listening.Read([&](const CToneCheck& c) {
                std::printf("; beside it: gaps %d, discontinuities %d", c.Gaps(),
                            c.Discontinuities());
                return 0;
            });
        lastKb = ResidentKb(studio.Pid());
        firstKb = firstKb ? firstKb : lastKb;
        mostKb = std::max(mostKb, lastKb);
        std::printf(", lumenfeed resident %.1f MB, load %.1f\n", lastKb / 1024.0, Load());
        std::fflush(stdout);
    };
    WaitFor([&] { return listening.Done(); }, field, s.skip + seconds + 60,
            longRun ? std::function<void(int)>(minutely) : nullptr);
    field.Stop(2s);
    tap.Stop();
    studio.Stop();
    if (beside)
        beside->Stop();

    if (!listening.Heard()) {
        std::printf("  no tone was heard on Studio_Out\n  fieldunit:%s\n  lumenfeed:%s\n",
                    Tail(field.Output(), 5).c_str(), Tail(studio.Output(), 5).c_str());
        return;
    }
    PrintChecked("Studio_Out", listening, tap, load);
    if (beside && beside->listening.Heard()) {
        PrintChecked("the plain player beside it (pacat, 30 ms), on a null sink of its own",
                     beside->listening, beside->tap, load);
        const auto ours = CBesideControl::EventTimes(listening, tap);
        const auto theirs = CBesideControl::EventTimes(beside->listening, beside->tap);
        int together = 0;
        for (double t : ours)
            together += std::any_of(theirs.begin(), theirs.end(),
                                    [t](double u) { return std::fabs(t - u) < 2.0; });
        std::printf("    of Studio_Out's first %zu gaps and discontinuities, %d came within 2 s "
                    "of one of the plain player's first %zu (the machine's)\n",
                    ours.size(), together, theirs.size());
    }
    if (firstKb)
        std::printf("    lumenfeed's resident memory: %.1f MB after the first minute, %.1f MB after "
                    "the last, %.1f MB at most\n",
                    firstKb / 1024.0, lastKb / 1024.0, mostKb / 1024.0);
    PrintPacing(field);
    if (ppm != 0)
        listening.Read([&](const CToneCheck& c) {
            std::printf("    drops (discontinuities) %d, gaps %d\n", c.Discontinuities(), c.Gaps());
            return 0;
        });
    if (markEvery > 0) {
        PrintDrift(HeardDrift(listening, tap, markEvery, ppm), ppm, tap.SinkClockPpm());
        const Drift d = HeardDrift(listening, tap, markEvery, ppm, &field);
        if (d.measured && d.marks >= 2)
            std::printf("    latency from each mark's departure to its sound on Studio_Out: %.1f ms "
                        "at first; over %.0f s (%d marks) %+.1f ms at the end, lowest %+.1f, "
                        "highest %+.1f\n",
                        d.firstLatency * 1000, d.span, d.marks, d.latest * 1000, d.lowest * 1000,
                        d.highest * 1000);
        if (d.measured && d.marks >= 2) {
            const Spread s = AroundMedian(d.latencies);
            std::printf("    around its median of %.1f ms: from %+.1f to %+.1f ms\n", s.median * 1000,
                        s.below * 1000, s.above * 1000);
        }
    }
}

// The check on its own: a clean tone played into Studio_Out by paplay.
void Control(const Settings& s, double seconds) {
    std::printf("\ncontrol: a %.0f Hz tone played with paplay into Studio_Out, %.0f s checked\n",
                kProgrammeHz, seconds);
    std::fflush(stdout);
    const double load = Load();
    CTempDir dir;
    const std::string wav = dir.File("tone.wav");
    if (!dir.Ok() || !WriteTone(wav, true, kRecordRate, kProgrammeHz, 0.25, seconds + 8)) {
        std::printf("  cannot write the tone\n");
        return;
    }
    Listening listening(kProgrammeHz, 1, seconds, KeepPath(s, "control"));
    CMonitorTap tap;
    if (!tap.Start("studio_out.monitor", kRecordRate, 2,
                   [&](const int16_t* p, size_t n) { listening.Feed(p, n); })) {
        std::printf("  parecord records nothing from studio_out.monitor\n");
        return;
    }
    CChildProcess player;
    if (!player.Start({"paplay", "--device=studio_out", wav}, {}, dir.File("paplay.log"))) {
        std::printf("  paplay did not start\n");
        return;
    }
    WaitFor([&] { return listening.Done(); }, player, seconds + 30);
    player.Stop(1s);
    tap.Stop();
    if (!listening.Heard()) {
        std::printf("  no tone was heard on Studio_Out:%s\n", Tail(player.Output(), 5).c_str());
        return;
    }
    PrintChecked("Studio_Out", listening, tap, load);
}

// The studio's microphone sent back: a tone fed into Studio_Mic_Feed while
// the field unit streams, checked by fieldunit.
void Return(const Settings& s, const char* name, bool pacat, double seconds) {
    std::printf("\n%s: a %.0f Hz tone fed into Studio_Mic_Feed by %s, the return audio checked "
                "by fieldunit for %.0f s\n",
                name, kReturnHz, pacat ? "pacat --latency-msec=20" : "paplay", seconds);
    std::fflush(stdout);
    const double load = Load();
    CTempDir dir;
    const std::string tone = dir.File(pacat ? "mic.raw" : "mic.wav");
    if (!dir.Ok() || !WriteTone(tone, !pacat, kRecordRate, kReturnHz, 0.3, seconds + 40)) {
        std::printf("  cannot write the tone\n");
        return;
    }
    int mic = CStudioProgram::AudioSourcePosition(u"Studio_Mic");
    if (mic <= 0) {
        std::printf("  Studio_Mic is not listed as a capture device; choosing the first\n");
        mic = 1;
    }
    CStudioProgram studio;
    uint16_t port = 0;
    if (!StartStudio(s, studio, dir, mic, port))
        return;
    CChildProcess feeder;
    std::vector<std::string> feed =
        pacat ? std::vector<std::string>{"pacat",
                                         "-p",
                                         "--latency-msec=20",
                                         "--device=studio_mic_feed",
                                         "--raw",
                                         "--format=s16le",
                                         "--rate=44100",
                                         "--channels=2",
                                         tone}
              : std::vector<std::string>{"paplay", "--device=studio_mic_feed", tone};
    if (!feeder.Start(feed, {}, dir.File("feeder.log"))) {
        std::printf("  the feeder did not start\n");
        return;
    }
    // The programme is checked too, for what capturing does to playing, and
    // the microphone as the studio hears it, for what the feeder itself
    // got wrong; both up to a little before the field unit ends.
    const double checked = std::max(seconds - s.skip - 2, 1.0);
    Listening listening(kProgrammeHz, s.skip, checked);
    CMonitorTap tap;
    tap.Start("studio_out.monitor", kRecordRate, 2,
              [&](const int16_t* p, size_t n) { listening.Feed(p, n); });
    // The microphone from the moment its recorder settles, so that what the
    // return shows as capture starts can be told from the feeder's own, and
    // on until the return ends (it starts 2 s later).
    Listening microphone(kReturnHz, 0.5, seconds + 3);
    CMonitorTap micTap;
    micTap.Start("studio_mic", kRecordRate, 2,
                 [&](const int16_t* p, size_t n) { microphone.Feed(p, n); });
    // The feeder's own start-up is not the studio's: it plays for a while
    // before the field unit connects and the studio starts capturing.
    std::this_thread::sleep_for(2s);
    auto args = FieldUnitArgs(s, port, kRecordRate, seconds);
    char hz[16];
    std::snprintf(hz, sizeof hz, "%g", kReturnHz);
    args.insert(args.end(), {"--return-tone", hz});
    CChildProcess field;
    if (!field.Start(args, {}, dir.File("fieldunit.log"))) {
        std::printf("  fieldunit did not start\n");
        return;
    }
    const int code = field.Wait(std::chrono::seconds(int(seconds) + 60));
    field.Stop(2s);
    feeder.Stop(1s);
    tap.Stop();
    micTap.Stop();
    studio.Stop();

    const std::string output = field.Output();
    std::istringstream lines(output);
    std::string summary, times;
    for (std::string line; std::getline(lines, line);) {
        if (line.find("return tone:") != std::string::npos)
            summary = line.substr(line.find("return tone:") + 13);
        if (line.find("events at (s):") != std::string::npos)
            times = line.substr(line.find("(s):") + 4);
    }
    if (summary.empty()) {
        std::printf("  fieldunit ended with %d and no return tone summary:%s\n", code,
                    Tail(output, 6).c_str());
        return;
    }
    std::printf("  return audio: %s\n", summary.c_str());
    if (code != 0)
        std::printf("  fieldunit ended with %d:%s\n", code, Tail(output, 4).c_str());
    if (microphone.Heard()) {
        PrintChecked("Studio_Mic, as fed", microphone, micTap, load);
        const auto [feeds, listed] = microphone.Read(
            [&](const CToneCheck& c) { return EventsOfTheFeed(times, c); });
        if (listed > 0)
            std::printf("    of the return's %zu events kept, %zu are the feed's own\n", listed,
                        feeds);
    }
    if (listening.Heard())
        PrintChecked("Studio_Out meanwhile", listening, tap, load);
    PrintPacing(field);
}

// When each picture reached the screen: a row of the panel through the test
// pattern's moving box, read back every few milliseconds; a row that changed
// is a new picture. The box moves by several pixels a picture, and the meters
// along the bottom edge are nowhere near the row.
class CPictureWatch {
public:
    bool Start(const QRect& row) { return screen.Watch(row, 3ms); }
    void Stop() { screen.Stop(); }
    // Steady clock seconds of every change seen.
    std::vector<double> Changes() {
        std::lock_guard guard(lock);
        return changes;
    }

private:
    void Look(const std::vector<unsigned long>& pixels, double at) {
        if (!last.empty() && pixels != last) {
            std::lock_guard guard(lock);
            changes.push_back(at);
        }
        last = pixels;
    }

    std::vector<unsigned long> last;
    std::mutex lock;
    std::vector<double> changes;
    // Last, so that its thread ends before what it fills goes.
    CScreenWatch screen{[this](const auto& pixels, double, double after) { Look(pixels, after); }};
};

// When each mark was made at the field unit, on the steady clock, from its
// log ("mark K sent at S s, made at M s"), by mark number.
std::vector<std::pair<long long, double>> MarksMade(const CChildProcess& field) {
    std::vector<std::pair<long long, double>> made;
    std::istringstream lines(field.Output());
    std::string line;
    while (std::getline(lines, line)) {
        long long k = 0;
        double sent = 0, at = 0;
        if (auto p = line.find("mark "); p != std::string::npos &&
                                         std::sscanf(line.c_str() + p,
                                                     "mark %lld sent at %lf s, made at %lf s", &k,
                                                     &sent, &at) == 3)
            made.push_back({k, at});
    }
    return made;
}

// Network stalls: the field unit holds everything back for a while and then
// sends the backlog at once, as a retransmission on a cellular link does.
// Measured from outside: the tone recorded from Studio_Out (gaps, clicks,
// seconds of silence), the screen (the longest stretch without a new
// picture), and timing marks every 2.5 s of media time (the latency from the
// moment each was made to the moment it was heard).
struct StallRun {
    const char* name;
    int stallMs;
    double everySeconds;
    int count;
    int latencyMs; // 0: Auto
};

void Stalls(const Settings& s, const StallRun& r) {
    constexpr double kLeadIn = 15, kMarks = 2.5, kAfter = 60;
    const double lastStall = kLeadIn + r.everySeconds * (r.count - 1);
    const double seconds = lastStall + kAfter + 5;
    std::printf("\n%s: %d stalls of %d ms every %g s from %g s, latency %s, %.0f s in all\n", r.name,
                r.count, r.stallMs, r.everySeconds, kLeadIn,
                r.latencyMs ? (std::to_string(r.latencyMs) + " ms").c_str() : "Auto", seconds);
    std::fflush(stdout);
    const double load = Load();
    CTempDir dir;
    CStudioProgram studio;
    CStudioProgram::Choices choices;
    // Its own counts too, beside what is measured from outside.
    const uint16_t metrics = testing_support::FreePortUpTo(32000);
    choices.more = "ReceiveLatency=" + std::to_string(r.latencyMs) + "\nMetricsPort=" +
                   std::to_string(metrics) + "\n";
    uint16_t port = testing_support::FreePortUpTo(32000);
    std::string problem;
    if (!dir.Ok() || port == 0 || !studio.Start(s.lumenfeed, dir.Path(), choices, problem) ||
        !studio.SelectLoopbackHost() || !studio.SetPort(port) || !studio.PressStart()) {
        std::printf("  lumenfeed could not be started and driven: %s\n", problem.c_str());
        return;
    }
    Listening listening(kProgrammeHz, s.skip, 0, KeepPath(s, r.name));
    CMonitorTap tap;
    if (!tap.Start("studio_out.monitor", kRecordRate, 2,
                   [&](const int16_t* p, size_t n) { listening.Feed(p, n); })) {
        std::printf("  parecord records nothing from studio_out.monitor\n");
        return;
    }
    // A plain player beside, to tell the machine's stalls from the studio's.
    CBesideControl beside;
    const bool besideRuns = beside.Start(dir);
    // The box's row: a third of the way down the picture.
    const QRect video = CStudioProgram::kVideo.translated(studio.Frame().topLeft());
    CPictureWatch pictures;
    if (!pictures.Start(QRect(video.x(), video.y() + video.height() / 3, video.width(), 1)))
        std::printf("  the screen cannot be read: no picture figures\n");
    auto args = FieldUnitArgs(s, port, kRecordRate, seconds);
    char every[32], after[32], marks[32];
    std::snprintf(every, sizeof every, "%g", r.everySeconds);
    std::snprintf(after, sizeof after, "%g", kLeadIn);
    std::snprintf(marks, sizeof marks, "%g", kMarks);
    args.insert(args.end(), {"--stall-every", every, "--stall-ms", std::to_string(r.stallMs),
                             "--stall-count", std::to_string(r.count), "--stall-after", after,
                             "--tone-marks", marks});
    CChildProcess field;
    if (!field.Start(args, {}, dir.File("fieldunit.log"))) {
        std::printf("  fieldunit did not start\n");
        return;
    }
    field.Wait(std::chrono::seconds(int(seconds) + 60));
    pictures.Stop();
    std::this_thread::sleep_for(1s);
    const std::string counts = testing_support::HttpGet(metrics).body;
    tap.Stop();
    studio.Stop();
    beside.Stop();
    if (!listening.Heard()) {
        std::printf("  no tone was heard on Studio_Out\n  fieldunit:%s\n  lumenfeed:%s\n",
                    Tail(field.Output(), 5).c_str(), Tail(studio.Output(), 5).c_str());
        return;
    }

    // The end of the stream is no gap: the check ends with the last mark heard.
    const std::vector<std::pair<long long, double>> made = MarksMade(field);
    const double origin = double(tap.OriginNs()) / 1e9;
    std::vector<double> heard;
    for (uint64_t frame : listening.MarkFrames())
        heard.push_back(origin + tap.TimeOf(frame));
    double end = heard.empty() ? 1e300 : heard.back() + 0.5;
    int gaps = 0, clicks = 0;
    double lost = 0, longestGap = 0;
    const double begin = origin + tap.TimeOf(listening.BeginFrame());
    listening.Read([&](const CToneCheck& c) {
        for (const CToneCheck::Event& e : c.FirstEvents()) {
            if (begin + e.at > end)
                break;
            if (e.gap) {
                ++gaps;
                lost += e.silence;
                longestGap = std::max(longestGap, e.silence);
            } else {
                ++clicks;
            }
        }
        std::printf("  Studio_Out: %.1f s checked: %d gaps (longest %.0f ms), %d clicks, %.2f s "
                    "of programme lost to gaps\n",
                    c.SecondsAnalysed(), gaps, longestGap * 1000, clicks, lost);
        if (!c.FirstEvents().empty())
            std::printf("    first (seconds into the check): %s\n", Events(c).c_str());
        return 0;
    });
    if (besideRuns && beside.listening.Heard()) {
        const auto ours = CBesideControl::EventTimes(listening, tap);
        const auto theirs = CBesideControl::EventTimes(beside.listening, beside.tap);
        int together = 0, counted = 0;
        for (double t : ours) {
            if (t > end)
                break;
            ++counted;
            together += std::any_of(theirs.begin(), theirs.end(),
                                    [t](double u) { return std::fabs(t - u) < 2.0; });
        }
        std::printf("    of these %d, %d came within 2 s of one of the %zu of a plain player beside "
                    "it (pacat, 30 ms; the machine's)\n",
                    counted, together, theirs.size());
    }

    // Each mark heard against the one made last before it: the latency is
    // well under the marks' interval.
    std::vector<std::pair<double, double>> latency; // media time of the mark, seconds
    for (double at : heard) {
        const std::pair<long long, double>* mark = nullptr;
        for (const auto& m : made)
            if (m.second < at)
                mark = &m;
        if (mark)
            latency.push_back({double(mark->first) * kMarks, at - mark->second});
    }
    auto near = [&](double t) {
        double best = -1, distance = 1e9;
        for (const auto& [media, l] : latency)
            if (std::fabs(media - t) < distance) {
                distance = std::fabs(media - t);
                best = l;
            }
        return distance <= kMarks ? best * 1000 : -1;
    };
    double before = -1, worst = 0;
    std::vector<double> lead;
    for (const auto& [media, l] : latency) {
        if (media >= 5 && media < kLeadIn)
            lead.push_back(l);
        worst = std::max(worst, l);
    }
    if (!lead.empty()) {
        std::sort(lead.begin(), lead.end());
        before = lead[lead.size() / 2] * 1000;
    }
    std::printf("  latency (made to heard, %zu marks): before the stalls %.0f ms, at worst %.0f ms, "
                "%.0f s after the last stall %.0f ms\n",
                latency.size(), before, worst * 1000, kAfter, near(lastStall + kAfter));

    // Pictures: the longest stretch without a new one, while the stream ran;
    // where, by the media time of the picture before it (the latency before
    // the stalls taken off its time on the screen).
    const std::vector<double> changes = pictures.Changes();
    const double firstMade = made.empty() ? 0 : made.front().second;
    const double mediaOfFirst = made.empty() ? 0 : double(made.front().first) * kMarks;
    auto media = [&](double screen) {
        return screen - firstMade + mediaOfFirst - std::max(before, 0.0) / 1000;
    };
    double longest = 0;
    size_t counted = 0;
    std::string stretches;
    for (size_t i = 1; i < changes.size(); ++i) {
        if (changes[i] > end || media(changes[i - 1]) < 5)
            continue;
        ++counted;
        const double stretch = changes[i] - changes[i - 1];
        longest = std::max(longest, stretch);
        if (stretch > 0.1 && stretches.size() < 400) {
            char item[48];
            std::snprintf(item, sizeof item, "%s%.0f ms at %.1f s", stretches.empty() ? "" : ", ",
                          stretch * 1000, media(changes[i - 1]));
            stretches += item;
        }
    }
    std::printf("  pictures: %zu new ones seen on the screen; the longest stretch without one "
                "%.0f ms\n",
                counted, longest * 1000);
    if (!stretches.empty())
        std::printf("    stretches over 100 ms (media time of the picture before): %s\n",
                    stretches.c_str());
    auto count = [&](const char* series) {
        return testing_support::MetricValue(counts, series).value_or(-1);
    };
    std::printf("    lumenfeed's own count: pictures received %.0f, decoded %.0f, painted %.0f, "
                "dropped from its queue %.0f; sound underruns %.0f, packets dropped %.0f\n",
                count("lumenfeed_video_frames_total{stage=\"received\"}"),
                count("lumenfeed_video_frames_total{stage=\"decoded\"}"),
                count("lumenfeed_video_frames_total{stage=\"drawn\"}"),
                count("lumenfeed_packets_refused_total{reason=\"video_queue_full\"}"),
                count("lumenfeed_audio_underruns_total"),
                count("lumenfeed_audio_packets_dropped_total"));
    std::printf("    load average %.1f before, %.1f after\n", load, Load());
    PrintPacing(field);
}

bool Parse(int argc, char** argv, Settings& s) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--seconds" && i + 1 < argc)
            s.seconds = std::atof(argv[++i]);
        else if (arg == "--scenario" && i + 1 < argc)
            s.scenario = argv[++i];
        else if (arg == "--size" && i + 1 < argc)
            s.size = argv[++i];
        else if (arg == "--keep" && i + 1 < argc)
            s.keep = argv[++i];
        else if (arg == "--skip" && i + 1 < argc)
            s.skip = std::max(0.0, std::atof(argv[++i]));
        else if (arg == "--clip" && i + 1 < argc)
            s.clip = argv[++i];
        else if (arg == "--busy" && i + 1 < argc)
            s.busy = std::clamp(std::atoi(argv[++i]), 0, 8);
        else if (arg == "--lumenfeed" && i + 1 < argc)
            s.lumenfeed = argv[++i];
        else
            return false;
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
    Settings s;
    if (!Parse(argc, argv, s)) {
        std::fprintf(stderr,
                     "usage: link_audio_bench [--seconds N] [--scenario NAME] [--size WxH]\n"
                     "                        [--keep DIR] [--lumenfeed PATH] [--busy N]\n"
                     "                        [--clip FILE] [--skip S]\n"
                     "scenarios: control programme programme48 drift+ drift- "
                     "return-paplay return-pacat all soak stalls (stalls250-auto "
                     "stalls500-auto stalls250-700 stalls500-700)\n");
        return 2;
    }
    const std::vector<std::pair<std::string, std::function<void()>>> scenarios = {
        {"control", [&] { Control(s, Pick(s, 20)); }},
        {"programme", [&] { Programme(s, "programme", 44100, 0, Pick(s, 30), 0); }},
        {"programme48", [&] { Programme(s, "programme48", 48000, 0, Pick(s, 30), 0); }},
        {"drift+", [&] { Programme(s, "drift+", 44100, 5000, Pick(s, 60), kMarkSeconds); }},
        {"drift-", [&] { Programme(s, "drift-", 44100, -5000, Pick(s, 60), kMarkSeconds); }},
        {"return-paplay", [&] { Return(s, "return-paplay", false, Pick(s, 60)); }},
        {"return-pacat", [&] { Return(s, "return-pacat", true, Pick(s, 60)); }},
    };
    // A busy machine: processes that want a core each, beside the programs.
    std::vector<std::unique_ptr<CChildProcess>> busy;
    for (int i = 0; i < s.busy; ++i) {
        busy.push_back(std::make_unique<CChildProcess>());
        busy.back()->Start({"sh", "-c", "while :; do :; done"}, {}, "/dev/null");
    }
    if (s.busy)
        std::printf("with %d CPU-bound processes beside the programs\n", s.busy);
    const auto start = Clock::now();
    bool ran = false;
    if (s.scenario == "soak") {
        Programme(s, "soak", 44100, 100, Pick(s, 3600), kSoakMarkSeconds, true);
        ran = true;
    }
    // About two and a half minutes each; not part of "all".
    const StallRun stallRuns[] = {
        {"stalls250-auto", 250, 5, 12, 0},
        {"stalls500-auto", 500, 10, 6, 0},
        {"stalls250-700", 250, 5, 12, 700},
        {"stalls500-700", 500, 10, 6, 700},
    };
    for (const StallRun& r : stallRuns) {
        if (s.scenario == "stalls" || s.scenario == r.name) {
            Stalls(s, r);
            ran = true;
        }
    }
    for (auto& [name, run] : scenarios) {
        if (s.scenario == name || s.scenario == "all") {
            run();
            ran = true;
        }
    }
    if (!ran) {
        std::fprintf(stderr, "no scenario named %s\n", s.scenario.c_str());
        return 2;
    }
    for (auto& b : busy)
        b->Stop(1s);
    std::printf("\n%.0f s in all\n", std::chrono::duration<double>(Clock::now() - start).count());
    return 0;
}
