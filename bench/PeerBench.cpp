// What showing a live picture costs lumenfeed beside the players people know:
// the same camera-like H.264 clip (libx264 veryfast, zero latency, 4 slices,
// a key frame every 60 pictures), paced at 30 fps over TCP on 127.0.0.1 to
// each receiver in turn:
//   lumenfeed   the real program, started and driven through its window as
//               an operator does (panel, or full screen by its stored choice)
//   ffplay      -x 360 -y 288, or -fs
//   GStreamer   avdec_h264, videoscale to 360 x 288 or 1920 x 1080, ximagesink
//   ffmpeg      decoding alone into the null muxer, for reference
// and the CPU time each receiver's process spent per picture (user + system,
// from /proc, over a steady window after the start-up), with the X server's
// own share beside it: the players hand part of their work to it; last,
// each build of lumenfeed's receiver + X server against the cheaper player's.
//   scripts/headless.sh build/bench/peer_bench [--seconds 12] [--warm-up 3] [--rounds 1]
//                       [--only lumenfeed|ffplay|gstreamer|ffmpeg]
//                       [--lumenfeed PROGRAM] [--also NAME=PROGRAM]
// (--also runs another build of lumenfeed in a row of its own, to compare)
#include "CStudioProgram.h"
#include "CTempDir.h"
#include "CameraClip.h"
#include "support/TestClient.h"
#include "tools/media/CChildProcess.h"

#include <X11/Xlib.h>
#include <X11/extensions/Xdamage.h>
#include <dirent.h>
#include <poll.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using bench::CameraClip;
using testing_support::TestClient;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

constexpr int kFrameRate = 30;
constexpr int kClipFrames = 300;

struct Settings {
    double seconds = 12;
    double warmUp = 3;
    std::string only;
    int rounds = 1;
    std::string lumenfeed = LUMENFEED_PATH;
    // Other builds of lumenfeed to run beside it, by the name of their row.
    std::vector<std::pair<std::string, std::string>> others;
};

// User + system time of a process in clock ticks, -1 when it is gone.
long long CpuTicks(pid_t pid) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    std::string stat;
    if (!pid || !std::getline(file, stat))
        return -1;
    // The command name may hold spaces; the fields after it do not.
    size_t close = stat.rfind(')');
    if (close == std::string::npos)
        return -1;
    std::istringstream fields(stat.substr(close + 2));
    std::string field;
    long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14)
            utime = std::atoll(field.c_str());
        if (i == 15)
            stime = std::atoll(field.c_str());
    }
    return utime + stime;
}

// The X server of our display, by the lock file it keeps.
pid_t XServer() {
    const char* display = std::getenv("DISPLAY");
    if (!display || display[0] != ':')
        return 0;
    std::ifstream lock("/tmp/.X" + std::string(display + 1, std::strcspn(display + 1, ".")) +
                       "-lock");
    long pid = 0;
    lock >> pid;
    return pid_t(pid);
}

// A child of ours by its command name (lumenfeed is started by CStudioProgram).
pid_t ChildNamed(const std::string& name) {
    DIR* proc = opendir("/proc");
    if (!proc)
        return 0;
    pid_t found = 0;
    while (dirent* entry = readdir(proc)) {
        pid_t pid = pid_t(std::atol(entry->d_name));
        if (pid <= 0)
            continue;
        std::ifstream file(std::string("/proc/") + entry->d_name + "/stat");
        std::string stat;
        if (!std::getline(file, stat))
            continue;
        size_t open = stat.find('('), close = stat.rfind(')');
        if (open == std::string::npos || close == std::string::npos)
            continue;
        std::istringstream rest(stat.substr(close + 2));
        std::string state;
        long ppid = 0;
        rest >> state >> ppid;
        if (pid_t(ppid) == getpid() && stat.substr(open + 1, close - open - 1) == name) {
            found = pid;
            break;
        }
    }
    closedir(proc);
    return found;
}

std::string Tail(const std::string& text, size_t lines) {
    size_t at = text.size();
    while (lines-- > 0 && at > 0) {
        size_t nl = text.rfind('\n', at - 1);
        if (nl == std::string::npos)
            return text;
        at = nl;
    }
    return text.substr(at);
}

// What reaches the screen, as the X server reports damage to it: pictures
// shown (updates that come in one burst count once) and the area of the
// latest, so that a receiver that skips pictures or shows them smaller than
// asked is seen as such.
class CScreenUpdates {
public:
    CScreenUpdates() {
        display = XOpenDisplay(nullptr);
        int error = 0;
        if (!display || !XDamageQueryExtension(display, &eventBase, &error))
            return;
        damage = XDamageCreate(display, DefaultRootWindow(display), XDamageReportRawRectangles);
        XFlush(display);
        thread = std::thread([this] { Run(); });
    }
    ~CScreenUpdates() {
        stop = true;
        if (thread.joinable())
            thread.join();
        if (display)
            XCloseDisplay(display);
    }
    bool Ok() const { return damage != 0; }
    struct Reading {
        uint64_t bursts = 0;
        int width = 0, height = 0; // of the latest burst's bounding box
    };
    Reading Read() {
        std::lock_guard guard(mutex);
        return latest;
    }

private:
    void Run() {
        using namespace std::chrono;
        constexpr auto kGap = 5ms; // longer than the pieces of one update lie apart
        Clock::time_point last{};
        int left = 0, top = 0, right = 0, bottom = 0;
        pollfd fd{ConnectionNumber(display), POLLIN, 0};
        while (!stop) {
            if (!XPending(display)) {
                poll(&fd, 1, 20);
                continue;
            }
            XEvent event;
            XNextEvent(display, &event);
            if (event.type != eventBase + XDamageNotify)
                continue;
            const auto& area = reinterpret_cast<XDamageNotifyEvent&>(event).area;
            auto now = Clock::now();
            std::lock_guard guard(mutex);
            if (now - last > kGap) {
                ++latest.bursts;
                left = area.x, top = area.y, right = area.x + area.width,
                bottom = area.y + area.height;
            } else {
                left = std::min<int>(left, area.x), top = std::min<int>(top, area.y);
                right = std::max<int>(right, area.x + area.width);
                bottom = std::max<int>(bottom, area.y + area.height);
            }
            latest.width = right - left;
            latest.height = bottom - top;
            last = now;
        }
    }

    Display* display = nullptr;
    int eventBase = 0;
    Damage damage = 0;
    std::atomic<bool> stop{false};
    std::thread thread;
    std::mutex mutex;
    Reading latest;
};

// One receiver, started for one clip and one place on the screen.
class CReceiver {
public:
    virtual ~CReceiver() = default;
    // Started and listening on port (or about to be: the sender retries).
    virtual bool Start(const CameraClip& clip, bool full, uint16_t port) = 0;
    virtual pid_t Pid() = 0;
    // Whether packets go with lumenfeed's 12-byte header or as bare Annex B.
    virtual bool Framed() const { return false; }
    virtual std::string Output() const = 0;
};

class CLumenfeed : public CReceiver {
public:
    explicit CLumenfeed(std::string p) : program(std::move(p)) {}
    bool Start(const CameraClip&, bool full, uint16_t port) override {
        CStudioProgram::Choices choices;
        choices.full = full ? 1 : 0;
        std::string problem;
        if (!dir.Ok() || !studio.Start(program, dir.Path(), choices, problem)) {
            std::printf("    lumenfeed did not start: %s\n", problem.c_str());
            return false;
        }
        // The kernel keeps the first 15 characters of a command's name.
        pid = ChildNamed(program.substr(program.rfind('/') + 1).substr(0, 15));
        return studio.SelectLoopbackHost() && studio.SetPort(port) && studio.PressStart();
    }
    pid_t Pid() override { return pid; }
    bool Framed() const override { return true; }
    std::string Output() const override { return studio.Output(); }

private:
    std::string program;
    CTempDir dir;
    CStudioProgram studio;
    pid_t pid = 0;
};

class CCommandReceiver : public CReceiver {
public:
    using Arguments = std::function<std::vector<std::string>(const CameraClip&, bool, uint16_t)>;
    explicit CCommandReceiver(Arguments a) : arguments(std::move(a)) {}
    bool Start(const CameraClip& clip, bool full, uint16_t port) override {
        return dir.Ok() && process.Start(arguments(clip, full, port), {}, dir.File("output.log"));
    }
    pid_t Pid() override { return process.Running() ? process.Pid() : 0; }
    std::string Output() const override { return process.Output(); }

private:
    Arguments arguments;
    CTempDir dir;
    media::CChildProcess process;
};

std::vector<std::string> FfplayArguments(const CameraClip&, bool full, uint16_t port) {
    std::vector<std::string> argv = {"ffplay",     "-hide_banner", "-loglevel",      "error",
                                     "-an",        "-fflags",      "nobuffer",       "-flags",
                                     "low_delay",  "-framedrop",   "-probesize",     "32",
                                     "-analyzeduration", "0"};
    // Without a window manager -fs alone leaves the window at the picture's
    // size: the window is asked for at the screen's size as well.
    if (full)
        argv.insert(argv.end(), {"-fs", "-x", "1920", "-y", "1080", "-left", "0", "-top", "0"});
    else
        argv.insert(argv.end(), {"-x", "360", "-y", "288"});
    argv.insert(argv.end(),
                {"-f", "h264", "-i", "tcp://127.0.0.1:" + std::to_string(port) + "?listen"});
    return argv;
}

std::vector<std::string> GstreamerArguments(const CameraClip&, bool full, uint16_t port) {
    // ximagesink does not scale: the picture is scaled to the window's size
    // before it, as the panel's or the screen's.
    std::string size = full ? "width=1920,height=1080" : "width=360,height=288";
    return {"gst-launch-1.0", "-q",
            "tcpserversrc",   "host=127.0.0.1",
            "port=" + std::to_string(port), "!",
            "h264parse",      "!",
            "avdec_h264",     "!",
            "videoscale",     "!",
            "video/x-raw," + size, "!",
            "videoconvert",   "!",
            "ximagesink",     "sync=false"};
}

std::vector<std::string> FfmpegArguments(const CameraClip&, bool, uint16_t port) {
    return {"ffmpeg",    "-hide_banner", "-loglevel", "error", "-threads",
            "2",         "-flags",       "low_delay", "-f",    "h264",
            "-i",        "tcp://127.0.0.1:" + std::to_string(port) + "?listen",
            "-f",        "null",         "-"};
}

struct Figures {
    bool ok = false;
    double receiverMs = NAN; // CPU per picture of the receiver's process
    double serverMs = NAN;   // of the X server meanwhile
    double shown = NAN;      // of the pictures sent meanwhile, the share shown
    int width = 0, height = 0; // the area of the last update on the screen
    std::string problem;
};

// Streams the clip, looped, at the frame rate to a receiver and measures the
// CPU its process spends once it is past its start-up.
Figures Measure(CReceiver& receiver, const CameraClip& clip, bool full, const Settings& s,
                CScreenUpdates& screen) {
    Figures figures;
    uint16_t port = testing_support::FreePortUpTo(32000);
    if (port == 0 || !receiver.Start(clip, full, port)) {
        figures.problem = "did not start";
        return figures;
    }
    TestClient client;
    if (!client.Connect(port, 30s)) {
        figures.problem = "never listened";
        return figures;
    }
    int on = 1;
    setsockopt(client.Handle(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);

    const long ticksPerSecond = sysconf(_SC_CLK_TCK);
    const int warmUp = int(s.warmUp * kFrameRate), counted = int(s.seconds * kFrameRate);
    const pid_t x = XServer();
    long long receiverStart = -1, serverStart = -1;
    uint64_t updatesStart = 0;
    const auto start = Clock::now();
    for (int i = 0; i <= warmUp + counted; ++i) {
        std::this_thread::sleep_until(start + i * 1000000us / kFrameRate);
        if (i == warmUp) {
            receiverStart = CpuTicks(receiver.Pid());
            serverStart = CpuTicks(x);
            updatesStart = screen.Read().bursts;
        }
        if (i == warmUp + counted)
            break;
        const auto& packet = clip.packets[size_t(i) % clip.packets.size()];
        bool sent = receiver.Framed()
                        ? client.SendPacket(kPacketVideo, packet.key, uint16_t(clip.width),
                                            uint16_t(clip.height), packet.data)
                        : client.SendBytes(packet.data.data(), packet.data.size());
        if (!sent) {
            figures.problem = "stopped reading at picture " + std::to_string(i) + ":" +
                              Tail(receiver.Output(), 3);
            return figures;
        }
    }
    // A picture still in decoding at the end is worth less than the tick
    // the reading is rounded to.
    long long receiverEnd = CpuTicks(receiver.Pid()), serverEnd = CpuTicks(x);
    CScreenUpdates::Reading updates = screen.Read();
    if (receiverStart < 0 || receiverEnd < 0) {
        figures.problem = "ended during the run:" + Tail(receiver.Output(), 3);
        return figures;
    }
    auto perPicture = [&](long long ticks) {
        return ticks * 1000.0 / double(ticksPerSecond) / counted;
    };
    figures.receiverMs = perPicture(receiverEnd - receiverStart);
    if (serverStart >= 0 && serverEnd >= 0)
        figures.serverMs = perPicture(serverEnd - serverStart);
    if (screen.Ok()) {
        figures.shown = double(updates.bursts - updatesStart) / counted;
        figures.width = updates.width;
        figures.height = updates.height;
    }
    figures.ok = true;
    return figures;
}

bool ParseArguments(int argc, char** argv, Settings& s) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        bool hasValue = i + 1 < argc;
        if (arg == "--seconds" && hasValue)
            s.seconds = std::atof(argv[++i]);
        else if (arg == "--warm-up" && hasValue)
            s.warmUp = std::atof(argv[++i]);
        else if (arg == "--only" && hasValue)
            s.only = argv[++i];
        else if (arg == "--rounds" && hasValue)
            s.rounds = std::atoi(argv[++i]);
        else if (arg == "--lumenfeed" && hasValue)
            s.lumenfeed = argv[++i];
        else if (arg == "--also" && hasValue && std::strchr(argv[i + 1], '=')) {
            std::string also = argv[++i];
            size_t eq = also.find('=');
            s.others.emplace_back(also.substr(0, eq), also.substr(eq + 1));
        }
        else
            return false;
    }
    return s.seconds >= 1 && s.warmUp >= 0 && s.rounds >= 1;
}

} // namespace

int main(int argc, char** argv) {
    Settings s;
    if (!ParseArguments(argc, argv, s)) {
        std::fprintf(stderr, "usage: peer_bench [--seconds N] [--warm-up N] [--rounds N] "
                             "[--only NAME] [--lumenfeed PROGRAM] [--also NAME=PROGRAM]\n");
        return 2;
    }
    struct Kind {
        std::string name;
        bool placed; // whether panel and full screen differ for it
        std::function<std::unique_ptr<CReceiver>()> make;
    };
    std::vector<Kind> kinds = {
        {"ffmpeg", false,
         [] { return std::make_unique<CCommandReceiver>(FfmpegArguments); }},
        {"gstreamer", true,
         [] { return std::make_unique<CCommandReceiver>(GstreamerArguments); }},
        {"ffplay", true, [] { return std::make_unique<CCommandReceiver>(FfplayArguments); }},
        {"lumenfeed", true, [&] { return std::make_unique<CLumenfeed>(s.lumenfeed); }},
    };
    for (const auto& [name, program] : s.others)
        kinds.push_back({name, true, [program] { return std::make_unique<CLumenfeed>(program); }});

    std::printf("peer benchmark: a camera-like clip paced at %d fps over 127.0.0.1; CPU per "
                "picture of each receiver's process over %.0f s after %.0f s of start-up "
                "(and of the X server meanwhile), %d round(s)\n",
                kFrameRate, s.seconds, s.warmUp, s.rounds);
    CameraClip clips[] = {{"720p30", 1280, 720, 4000000, kClipFrames, kFrameRate, {}},
                          {"1080p30", 1920, 1080, 8000000, kClipFrames, kFrameRate, {}}};
    for (CameraClip& clip : clips) {
        bench::MakeCameraClip(clip);
        if (clip.packets.size() != size_t(clip.frames))
            std::printf("%s: could not make the clip\n", clip.name);
    }
    const char* places[] = {"panel", "full"};
    CScreenUpdates screen;
    // Rounds go over every case in turn, so that a passing load on the
    // machine falls on all receivers alike; the table gives the medians.
    std::map<std::string, std::vector<Figures>> runs;
    for (int round = 0; round < s.rounds; ++round)
        for (const CameraClip& clip : clips) {
            if (clip.packets.size() != size_t(clip.frames))
                continue;
            for (bool full : {false, true})
                for (const Kind& kind : kinds) {
                    if ((!s.only.empty() && s.only != kind.name) || (full && !kind.placed))
                        continue;
                    auto receiver = kind.make();
                    Figures f = Measure(*receiver, clip, full, s, screen);
                    std::printf("  %-8s %-5s %-10s ", clip.name, places[full], kind.name.c_str());
                    if (!f.ok)
                        std::printf("failed: %s\n", f.problem.c_str());
                    else if (!kind.placed || std::isnan(f.shown))
                        std::printf("%5.1f ms (X %4.1f)\n", f.receiverMs, f.serverMs);
                    else
                        std::printf("%5.1f ms (X %4.1f), %3.0f%% shown, the last %d x %d\n",
                                    f.receiverMs, f.serverMs, f.shown * 100, f.width, f.height);
                    std::fflush(stdout);
                    if (f.ok)
                        runs[kind.name + clip.name + places[full]].push_back(f);
                }
        }

    auto median = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        return v.empty() ? NAN : v[v.size() / 2];
    };
    std::printf("\nms of CPU per picture, receiver (X server), share of the pictures shown\n%-10s",
                "");
    for (const CameraClip& clip : clips)
        for (const char* place : places)
            std::printf(" %10s %-10s", clip.name, place);
    std::printf("\n");
    for (const Kind& kind : kinds) {
        if (!s.only.empty() && s.only != kind.name)
            continue;
        std::printf("%-10s", kind.name.c_str());
        for (const CameraClip& clip : clips)
            for (const char* place : places) {
                auto found = runs.find(kind.name + clip.name + place);
                char cell[64] = "-";
                if (found != runs.end()) {
                    std::vector<double> cpu, server, shown;
                    for (const Figures& f : found->second) {
                        cpu.push_back(f.receiverMs);
                        server.push_back(f.serverMs);
                        shown.push_back(f.shown);
                    }
                    int n = std::snprintf(cell, sizeof cell, "%5.1f (X %3.1f)", median(cpu),
                                          median(server));
                    if (kind.placed && !std::isnan(median(shown)))
                        std::snprintf(cell + n, sizeof cell - size_t(n), " %3.0f%%",
                                      median(shown) * 100);
                }
                std::printf(" %21s", cell);
            }
        std::printf("\n");
    }

    // Each build of lumenfeed against the cheaper of the two players, both
    // with the X server's share: the receiver's whole cost of showing.
    auto total = [&](const std::string& key) -> double {
        auto found = runs.find(key);
        if (found == runs.end())
            return NAN;
        std::vector<double> sums;
        for (const Figures& f : found->second)
            sums.push_back(f.receiverMs + (std::isnan(f.serverMs) ? 0 : f.serverMs));
        return median(sums);
    };
    std::printf("\nreceiver + X server against the cheaper player (gstreamer, ffplay)\n%-10s", "");
    for (const CameraClip& clip : clips)
        for (const char* place : places)
            std::printf(" %10s %-10s", clip.name, place);
    std::printf("\n");
    for (const Kind& kind : kinds) {
        if (kind.name == "ffmpeg" || kind.name == "gstreamer" || kind.name == "ffplay" ||
            (!s.only.empty() && s.only != kind.name))
            continue;
        std::printf("%-10s", kind.name.c_str());
        for (const CameraClip& clip : clips)
            for (const char* place : places) {
                const std::string key = clip.name + std::string(place);
                const double own = total(kind.name + key);
                const double peer = std::fmin(total("gstreamer" + key), total("ffplay" + key));
                char cell[64] = "-";
                if (!std::isnan(own) && !std::isnan(peer))
                    std::snprintf(cell, sizeof cell, "%5.1f / %5.1f = %4.2f", own, peer, own / peer);
                std::printf(" %21s", cell);
            }
        std::printf("\n");
    }
    return 0;
}
