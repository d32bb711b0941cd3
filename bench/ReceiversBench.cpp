// Several receivers without a window on one machine, as a service manager
// runs them: N lumenfeed --headless programs, each with a field unit of its
// own streaming its 1280x720, 30 fps test pattern and 1 kHz tone over
// 127.0.0.1, each playing into a null sink of its own (loaded here with
// pactl), all sending Studio_Mic back, where a 600 Hz tone is fed. Prints,
// for each N: the CPU each receiver took (% of one core) and its resident
// memory, the gaps and clicks heard on each receiver's sink (CToneCheck),
// and the return packets each field unit received against those due
// (fieldunit --return-tone). Then how long a receiver killed with SIGKILL
// and started again at once, as systemd would, takes until a field unit's
// next connection is served (accepted, and studio sound sent back). Prints
// figures; passes or fails nothing.
//
//   scripts/headless.sh build/bench/receivers_bench [--seconds 60] [--counts 1,2,4]
//                                                   [--restarts 3] [--lumenfeed PATH]
//
// The receivers decode no pictures (--decode-pictures never) but in one run
// of a single receiver that decodes them, for what decoding costs.
#include "CMonitorTap.h"
#include "CTempDir.h"
#include "LinkTones.h"
#include "MediaFiles.h"
#include "ProcessFigures.h"
#include "core/PacketHeader.h"
#include "support/TestClient.h"
#include "tools/media/CChildProcess.h"
#include "tools/tonecheck/CToneCheck.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <signal.h>
#include <unistd.h>

using media::CChildProcess;
using media::RunCommand;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

// Figures are taken from this long after the field units start: the
// connection and the first seconds of sound are not the steady state.
constexpr double kSettleSeconds = 5;

struct Settings {
    double seconds = 60;
    std::vector<int> counts = {1, 2, 4};
    int restarts = 3;
    std::string lumenfeed = LUMENFEED_PATH;
};

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

// What a sink plays, checked as a steady tone from a little after it is
// first heard, for seconds.
class CEar {
public:
    explicit CEar(double seconds, double frequency = kProgrammeHz)
        : check(kRecordRate, 2, frequency), wanted(uint64_t(seconds * kRecordRate)) {}

    void Feed(const int16_t* samples, size_t count) {
        std::lock_guard guard(lock);
        size_t frames = count / 2, from = 0;
        if (!heard) {
            while (from < frames && std::abs(samples[2 * from]) < 2000)
                ++from;
            if (from == frames)
                return;
            heard = true;
            skip = kRecordRate / 2;
        }
        const size_t skipped = std::min<size_t>(skip, frames - from);
        skip -= skipped;
        from += skipped;
        const size_t take = size_t(std::min<uint64_t>(frames - from, wanted - checked));
        check.Feed(samples + 2 * from, take * 2);
        checked += take;
    }
    bool Heard() {
        std::lock_guard guard(lock);
        return heard;
    }
    std::string Summary() {
        std::lock_guard guard(lock);
        if (!heard)
            return "no tone heard";
        char text[120];
        std::snprintf(text, sizeof text, "%.1f s checked: %d gaps, %d clicks",
                      check.SecondsAnalysed(), check.Gaps(), check.Discontinuities());
        return text;
    }

private:
    std::mutex lock;
    CToneCheck check;
    const uint64_t wanted;
    uint64_t checked = 0;
    size_t skip = 0;
    bool heard = false;
};

// One receiver with its sink, its ear and its field unit.
struct Receiver {
    int index = 0;
    uint16_t port = 0;
    int module = -1;
    CChildProcess program;
    CChildProcess field;
    std::unique_ptr<CEar> ear;
    CMonitorTap tap;
    double cpuFrom = 0, cpuTo = 0;
    long residentKb = 0, proportionalKb = 0;

    std::string Sink() const { return "bench_out_" + std::to_string(index); }
    std::string Name() const { return "Bench_Out_" + std::to_string(index); }
};

std::vector<std::string> ReceiverArgs(const Settings& s, const Receiver& r, bool decode) {
    return {s.lumenfeed, "--headless", "--instance", "bench-" + std::to_string(r.index),
            "--listen", "127.0.0.1:" + std::to_string(r.port), "--output", r.Name(), "--source",
            "Studio_Mic", "--decode-pictures", decode ? "always" : "never"};
}

std::vector<std::string> Environment(const CTempDir& home) {
    return {"HOME=" + home.Path(), "XDG_CONFIG_HOME=" + home.File(".config"), "DISPLAY="};
}

bool LoadSink(Receiver& r) {
    std::string index;
    if (RunCommand({"pactl", "load-module", "module-null-sink", "sink_name=" + r.Sink(),
                    "sink_properties=device.description=" + r.Name()},
                   &index) != 0)
        return false;
    r.module = std::atoi(index.c_str());
    return true;
}

// The field unit's own summary of the return tone, as it printed it.
std::string ReturnSummary(const CChildProcess& field) {
    std::istringstream lines(field.Output());
    std::string summary = "no return tone summary";
    for (std::string line; std::getline(lines, line);)
        if (auto at = line.find("return tone:"); at != std::string::npos)
            summary = line.substr(at + 13);
    return summary;
}

std::vector<std::string> FieldArgs(uint16_t port, double seconds) {
    char duration[32];
    std::snprintf(duration, sizeof duration, "%.1f", seconds);
    std::vector<std::string> args = {FIELDUNIT_PATH,  "127.0.0.1:" + std::to_string(port),
                                     "--duration",    duration,
                                     "--return-tone", "600"};
    // The far end of the link runs on a machine of its own: where we may,
    // above ordinary work here, so that it is not what stalls.
    if (geteuid() == 0)
        args.insert(args.begin(), {"chrt", "-r", "3"});
    return args;
}

// Ends a receiver as a service manager does; how long it took, or -1.
double Terminate(CChildProcess& program) {
    const auto from = Clock::now();
    program.Signal(SIGTERM);
    if (program.Wait(10s) == -1) {
        program.Stop(0s);
        return -1;
    }
    return Seconds(Clock::now() - from);
}

void Run(const Settings& s, int count, bool decode) {
    std::printf("\n%d receiver%s%s, %.0f s (load average %.1f before):\n", count,
                count == 1 ? "" : "s", decode ? ", decoding pictures" : "", s.seconds, Load());
    std::fflush(stdout);
    CTempDir home;
    std::vector<std::unique_ptr<Receiver>> receivers;
    for (int i = 0; i < count; ++i) {
        auto r = std::make_unique<Receiver>();
        r->index = i + 1;
        r->port = testing_support::FreePort();
        r->ear = std::make_unique<CEar>(s.seconds - kSettleSeconds);
        if (!LoadSink(*r)) {
            std::printf("  pactl cannot load a null sink\n");
            return;
        }
        receivers.push_back(std::move(r));
    }
    for (auto& r : receivers)
        if (!r->program.Start(ReceiverArgs(s, *r, decode), Environment(home),
                              home.File("receiver" + std::to_string(r->index) + ".log"))) {
            std::printf("  lumenfeed did not start\n");
            return;
        }
    for (auto& r : receivers)
        if (!r->program.WaitForOutput("Listening on", 30s)) {
            std::printf("  receiver %d never listened:\n%s\n", r->index, r->program.Output().c_str());
            return;
        }
    for (auto& r : receivers) {
        Receiver* me = r.get();
        if (!r->tap.Start(r->Sink() + ".monitor", kRecordRate, 2,
                          [me](const int16_t* p, size_t n) { me->ear->Feed(p, n); })) {
            std::printf("  parecord records nothing from %s.monitor\n", r->Sink().c_str());
            return;
        }
    }
    // The studio's source as the receivers hear it: what the feeder itself
    // got wrong reaches every return alike.
    CEar microphone(s.seconds + 3, kReturnHz);
    CMonitorTap micTap;
    micTap.Start("studio_mic", kRecordRate, 2, [&](const int16_t* p, size_t n) { microphone.Feed(p, n); });
    // A plain player beside them: the same tone played by pacat with 30 ms
    // of buffer into a null sink of its own. Gaps it hears too are the
    // machine's (the sound server, or everything at once held up).
    Receiver plain;
    plain.index = 0;
    plain.ear = std::make_unique<CEar>(s.seconds - kSettleSeconds);
    const std::string tone = home.File("plain.raw");
    CChildProcess player;
    if (LoadSink(plain) && mediafiles::WriteRawTone(tone, kRecordRate, kProgrammeHz, 0.25, s.seconds + 15))
        plain.tap.Start(plain.Sink() + ".monitor", kRecordRate, 2,
                        [&](const int16_t* p, size_t n) { plain.ear->Feed(p, n); });
    player.Start({"pacat", "-p", "--latency-msec=30", "--device=" + plain.Sink(), "--raw",
                  "--format=s16le", "--rate=44100", "--channels=2", tone},
                 {}, home.File("plain.log"));
    const auto start = Clock::now();
    for (auto& r : receivers)
        r->field.Start(FieldArgs(r->port, s.seconds + 8), {},
                       home.File("field" + std::to_string(r->index) + ".log"));
    std::this_thread::sleep_until(start + std::chrono::duration<double>(kSettleSeconds));
    for (auto& r : receivers)
        r->cpuFrom = CpuSeconds(r->program.Pid());
    std::this_thread::sleep_until(start + std::chrono::duration<double>(s.seconds));
    for (auto& r : receivers) {
        r->cpuTo = CpuSeconds(r->program.Pid());
        r->residentKb = ResidentKb(r->program.Pid());
        r->proportionalKb = ProportionalKb(r->program.Pid());
    }
    for (auto& r : receivers)
        r->field.Wait(30s);
    double longestEnd = 0;
    for (auto& r : receivers) {
        r->tap.Stop();
        const double end = Terminate(r->program);
        longestEnd = end < 0 || longestEnd < 0 ? -1 : std::max(longestEnd, end);
    }
    const double span = s.seconds - kSettleSeconds;
    for (auto& r : receivers) {
        std::printf("  receiver %d: CPU %.1f %% of a core, resident %.1f MB (its share, the "
                    "libraries split among those that map them: %.1f MB)\n",
                    r->index, 100 * (r->cpuTo - r->cpuFrom) / span, r->residentKb / 1024.0,
                    r->proportionalKb / 1024.0);
        std::printf("    programme on %s: %s\n", r->Name().c_str(), r->ear->Summary().c_str());
        std::printf("    return: %s\n", ReturnSummary(r->field).c_str());
    }
    micTap.Stop();
    plain.tap.Stop();
    player.Stop(1s);
    RunCommand({"pactl", "unload-module", std::to_string(plain.module)});
    std::printf("  Studio_Mic as fed, the same for every return: %s\n",
                microphone.Summary().c_str());
    std::printf("  a plain player beside them (pacat, 30 ms) on a null sink of its own: %s\n",
                plain.ear->Summary().c_str());
    std::printf("  load average %.1f after\n", Load());
    if (longestEnd < 0)
        std::printf("  a receiver did not end within 10 s of SIGTERM\n");
    else
        std::printf("  SIGTERM to the end of the process: %.3f s at most\n", longestEnd);
    for (auto& r : receivers)
        RunCommand({"pactl", "unload-module", std::to_string(r->module)});
}

// A field unit's connection served: accepted, and the studio's sound coming
// back on it. Seconds from now, or -1.
double ServedWithin(uint16_t port, Clock::time_point since) {
    testing_support::TestClient client;
    if (!client.Connect(port, 20s))
        return -1;
    uint8_t header[12]; // the first return packet's header
    if (!client.Receive(header, sizeof header, 20s))
        return -1;
    return Seconds(Clock::now() - since);
}

void Restarts(const Settings& s) {
    std::printf("\nrestart: a receiver with a field unit connected killed with SIGKILL and "
                "started again 100 ms later (systemd's RestartSec default), until a field "
                "unit's next connection is served, %d times:\n",
                s.restarts);
    std::fflush(stdout);
    CTempDir home;
    Receiver r;
    r.index = 1;
    r.port = testing_support::FreePort();
    if (!LoadSink(r)) {
        std::printf("  pactl cannot load a null sink\n");
        return;
    }
    for (int i = 0; i < s.restarts; ++i) {
        CChildProcess program;
        if (!program.Start(ReceiverArgs(s, r, false), Environment(home), home.File("restart.log")) ||
            !program.WaitForOutput("Listening on", 30s)) {
            std::printf("  lumenfeed did not start\n");
            break;
        }
        CChildProcess field;
        field.Start(FieldArgs(r.port, 30), {}, home.File("restart-field.log"));
        std::this_thread::sleep_for(3s);
        const auto killed = Clock::now();
        program.Signal(SIGKILL);
        program.Wait(10s);
        std::this_thread::sleep_for(100ms);
        CChildProcess again;
        again.Start(ReceiverArgs(s, r, false), Environment(home), home.File("restart.log"));
        const double served = ServedWithin(r.port, killed);
        field.Stop(1s);
        if (served < 0)
            std::printf("  %d: no connection served within 20 s:\n%s\n", i + 1,
                        again.Output().c_str());
        else
            std::printf("  %d: served %.3f s after the kill\n", i + 1, served);
        Terminate(again);
    }
    RunCommand({"pactl", "unload-module", std::to_string(r.module)});
}

bool Parse(int argc, char** argv, Settings& s) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--seconds" && i + 1 < argc) {
            s.seconds = std::max(kSettleSeconds + 5, std::atof(argv[++i]));
        } else if (arg == "--counts" && i + 1 < argc) {
            s.counts.clear();
            std::istringstream items(argv[++i]);
            for (std::string item; std::getline(items, item, ',');)
                if (int n = std::atoi(item.c_str()); n > 0 && n <= 8)
                    s.counts.push_back(n);
        } else if (arg == "--restarts" && i + 1 < argc) {
            s.restarts = std::clamp(std::atoi(argv[++i]), 0, 20);
        } else if (arg == "--lumenfeed" && i + 1 < argc) {
            s.lumenfeed = argv[++i];
        } else {
            return false;
        }
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
    Settings s;
    if (!Parse(argc, argv, s)) {
        std::fprintf(stderr, "usage: receivers_bench [--seconds N] [--counts 1,2,4] "
                             "[--restarts N] [--lumenfeed PATH]\n");
        return 2;
    }
    std::printf("receivers without a window, %ld cores\n", sysconf(_SC_NPROCESSORS_ONLN));
    // The studio's source: a 600 Hz tone into Studio_Mic_Feed, heard on
    // Studio_Mic, for as long as the runs take.
    CTempDir dir;
    const std::string tone = dir.File("mic.raw");
    double total = 0;
    for (size_t i = 0; i < s.counts.size(); ++i)
        total += s.seconds + 40;
    total += s.seconds + 40 + 20.0 * s.restarts;
    CChildProcess feeder;
    if (!mediafiles::WriteRawTone(tone, kRecordRate, kReturnHz, 0.3, total) ||
        !feeder.Start({"pacat", "-p", "--latency-msec=100", "--device=studio_mic_feed", "--raw",
                       "--format=s16le", "--rate=44100", "--channels=2", tone},
                      {}, dir.File("feeder.log"))) {
        std::printf("cannot feed the studio's tone\n");
        return 1;
    }
    const auto start = Clock::now();
    for (int n : s.counts)
        Run(s, n, false);
    Run(s, 1, true);
    if (s.restarts > 0)
        Restarts(s);
    feeder.Stop(1s);
    std::printf("\n%.0f s in all\n", Seconds(Clock::now() - start));
    return 0;
}
