// What a change of display costs on a live link: the studio's main window and
// full-screen window, the real field unit streaming its test pattern with a
// long key-frame interval (4 s by default) over 127.0.0.1, and the operator
// switching full screen in and out eight times, by the Full button and by
// Esc. Prints the pictures the field unit sent against those decoded and
// shown, and the longest stretch without a new picture on the screen, first
// over a stretch without switches (what the machine alone costs) and then
// over the switches. Passes or fails nothing.
//
//   scripts/headless.sh build/bench/toggle_bench [--gop S] [--switches N] [--every S]
//                                               [--size WxH]
#include "console/TFullScreenForm.h"
#include "console/TMainForm.h"
#include "gateway/CGateway.h"
#include "platform/video/VideoSurface.h"
#include "support/TestClient.h"
#include "tools/media/CChildProcess.h"

#include <QApplication>
#include <QComboBox>
#include <QKeyEvent>
#include <QPushButton>
#include <QSettings>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

using Clock = std::chrono::steady_clock;

namespace {

struct Settings {
    double gop = 4;
    int switches = 8;
    double every = 2.0; // seconds between switches
    double calm = 8.0;  // seconds watched before the first switch
    std::string size = "1280x720";
};

// The pictures the screen took up, and the longest wait for a new one.
class CPictureWatch {
public:
    void Sample(uint32_t painted, Clock::time_point now) {
        if (painted != last) {
            if (seen)
                longest = std::max(longest, now - at);
            last = painted;
            at = now;
            seen = true;
        }
    }
    // The wait still running counts too.
    double LongestSeconds(Clock::time_point now) const {
        auto running = seen ? now - at : Clock::duration{};
        return std::chrono::duration<double>(std::max(longest, running)).count();
    }
    void Restart(Clock::time_point now) {
        longest = {};
        at = now;
    }

private:
    uint32_t last = 0;
    bool seen = false;
    Clock::time_point at;
    Clock::duration longest{};
};

// Runs the event loop until done() or the time-out; false on the time-out.
template <typename Done> bool RunUntil(Done done, double seconds) {
    const auto end = Clock::now() + std::chrono::duration<double>(seconds);
    while (!done()) {
        if (Clock::now() > end)
            return false;
        QApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return true;
}

uint32_t Painted() {
    return MainForm->PanelSurface()->GetCounters().painted +
           FullScreenForm->Surface()->GetCounters().painted;
}

long SentPictures(const std::string& output) {
    const size_t at = output.rfind("sent ");
    return at == std::string::npos ? -1 : std::atol(output.c_str() + at + 5);
}

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    Settings s;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--gop"))
            s.gop = std::atof(argv[i + 1]);
        else if (!std::strcmp(argv[i], "--switches"))
            s.switches = std::max(1, std::atoi(argv[i + 1]));
        else if (!std::strcmp(argv[i], "--every"))
            s.every = std::max(0.2, std::atof(argv[i + 1]));
        else if (!std::strcmp(argv[i], "--size"))
            s.size = argv[i + 1];
    }
    QTemporaryDir settingsDir;
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settingsDir.path());
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, settingsDir.path());

    FullScreenForm = new TFullScreenForm;
    MainForm = new TMainForm;
    MainForm->show();
    const uint16_t port = testing_support::FreePortUpTo(32000);
    auto* host = MainForm->findChild<QComboBox*>("Host");
    host->setCurrentIndex(host->findText("127.0.0.1"));
    MainForm->findChild<QSpinBox*>("Port")->setValue(port);
    auto* full = MainForm->findChild<QPushButton*>("Full");
    MainForm->findChild<QPushButton*>("StartBtn")->click();

    const double seconds = 2 + s.calm + s.switches * s.every + 3;
    media::CChildProcess field;
    char gop[32], duration[32];
    std::snprintf(gop, sizeof gop, "%g", s.gop);
    std::snprintf(duration, sizeof duration, "%g", seconds);
    std::vector<std::string> command = {FIELDUNIT_PATH, "--size", s.size, "--duration", duration};
    if (s.gop > 0) // 0: the field unit's own
        command.insert(command.end(), {"--gop", gop});
    command.push_back("127.0.0.1:" + std::to_string(port));
    if (!field.StartLogged(command)) {
        std::fprintf(stderr, "the field unit did not start\n");
        return 1;
    }
    CPictureWatch watch;
    if (!RunUntil([&] { return Painted() > 0; }, 20)) {
        std::fprintf(stderr, "no picture came:\n%s\n", field.Output().c_str());
        return 1;
    }
    RunUntil([] { return false; }, 2); // past the start
    watch.Restart(Clock::now());
    RunUntil(
        [&] {
            watch.Sample(Painted(), Clock::now());
            return false;
        },
        s.calm);
    const double calmLongest = watch.LongestSeconds(Clock::now());
    const auto decodedBefore = MainForm->Server()->VideoCounters().pictures;

    watch.Restart(Clock::now());
    std::string each;
    for (int i = 0; i < s.switches; ++i) {
        CPictureWatch one;
        one.Restart(Clock::now());
        // In by the button; out by Esc and by the button in turn.
        if (!full->isChecked() || i % 4 == 3) {
            full->click();
        } else {
            QKeyEvent esc(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
            QApplication::sendEvent(FullScreenForm, &esc);
        }
        RunUntil(
            [&] {
                const auto now = Clock::now();
                watch.Sample(Painted(), now);
                one.Sample(Painted(), now);
                return false;
            },
            s.every);
        char figure[32];
        std::snprintf(figure, sizeof figure, "%s%.3f", each.empty() ? "" : " ",
                      one.LongestSeconds(Clock::now()));
        each += figure;
    }
    const double switchLongest = watch.LongestSeconds(Clock::now());
    if (full->isChecked())
        full->click();
    field.Wait(std::chrono::seconds(30));
    RunUntil([] { return false; }, 1);
    const long sent = SentPictures(field.Output());
    const auto video = MainForm->Server() ? MainForm->Server()->VideoCounters()
                                          : CVideoRenderer::Counters{};
    const auto queue = MainForm->Server() ? MainForm->Server()->VideoQueueCounters()
                                          : CVideoWorker::Counters{};

    std::printf("Display switches on a live link: %s at 30 fps, a key frame every %g s, "
                "%d switches %g s apart\n",
                s.size.c_str(), s.gop, s.switches, s.every);
    std::printf("  pictures sent by the field unit      %ld\n", sent);
    std::printf("  pictures decoded and shown           %u (%u while switching)\n", video.pictures,
                video.pictures - decodedBefore);
    std::printf("  pictures lost                        %ld\n",
                sent >= 0 ? sent - long(video.pictures) : -1);
    std::printf("  dropped by the picture queue         %u\n", queue.dropped);
    std::printf("  video channel opened                 %u time(s)\n", video.opens);
    std::printf("  longest without a new picture        %.3f s switching, %.3f s before "
                "(no switch, %g s)\n",
                switchLongest, calmLongest, s.calm);
    std::printf("  longest after each switch (s)        %s\n", each.c_str());
    MainForm->findChild<QPushButton*>("StartBtn")->click();
    delete MainForm;
    MainForm = nullptr;
    delete FullScreenForm;
    return 0;
}
