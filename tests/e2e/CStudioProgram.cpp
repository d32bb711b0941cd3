#include "CStudioProgram.h"

#include "return/CDevice.h"

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

int CStudioProgram::AudioSourcePosition(const std::u16string& name) {
    int position = 0, found = -1;
    for (const std::u16string& device : CDevice::Names()) {
        ++position;
        if (device == name && found < 0)
            found = position;
    }
    return found;
}

CStudioProgram::~CStudioProgram() {
    Stop();
}

bool CStudioProgram::Start(const std::string& program, const std::string& homeDir,
                           const Choices& choices, std::string& problem) {
    home = homeDir;
    const std::string config = home + "/.config";
    std::error_code error;
    std::filesystem::create_directories(config + "/Norvik", error);
    {
        std::ofstream settings(config + "/Norvik/Lumenfeed.conf");
        settings << "[General]\nFull=" << choices.full << "\nAudioSource=" << choices.audioSource
                 << "\n" << choices.more;
        if (!settings) {
            problem = "cannot write the settings file under " + config;
            return false;
        }
    }
    if (!process.Start({program}, {"HOME=" + home, "XDG_CONFIG_HOME=" + config},
                       home + "/lumenfeed.log")) {
        problem = "cannot start " + program;
        return false;
    }
    std::string found;
    int code = media::RunCommand({"xdotool", "search", "--sync", "--onlyvisible", "--pid",
                                  std::to_string(process.Pid()), "--name", "^TV - Lumenfeed$"},
                                 &found, std::chrono::seconds(30));
    std::istringstream ids(found);
    ids >> window;
    if (code != 0 || window.empty()) {
        problem = "its window did not appear:\n" + process.Output();
        return false;
    }
    std::string geometry;
    if (media::RunCommand({"xdotool", "getwindowgeometry", "--shell", window}, &geometry) != 0) {
        problem = "cannot read the window's geometry";
        return false;
    }
    int values[4] = {-1, -1, 0, 0};
    const char* keys[4] = {"X=", "Y=", "WIDTH=", "HEIGHT="};
    std::istringstream lines(geometry);
    for (std::string line; std::getline(lines, line);)
        for (int i = 0; i < 4; ++i)
            if (line.rfind(keys[i], 0) == 0)
                values[i] = std::atoi(line.c_str() + std::strlen(keys[i]));
    frame = QRect(values[0], values[1], values[2], values[3]);
    if (frame.width() <= 0 || frame.height() <= 0) {
        problem = "the window has no size: " + geometry;
        return false;
    }
    // Drawn once the banner is white and the Start button's face is there.
    bool drawn = WaitForWindow(
        [](const QImage& w) {
            return w.pixelColor(300, 20) == Qt::white &&
                   w.pixelColor(kStart.left() + 6, kStart.center().y()).lightness() > 150;
        },
        std::chrono::seconds(20));
    if (!drawn) {
        QImage last = Grab();
        problem = "the window was never drawn (window " + window + " at " +
                  std::to_string(frame.x()) + "," + std::to_string(frame.y()) + " " +
                  std::to_string(frame.width()) + "x" + std::to_string(frame.height()) +
                  (last.isNull() ? ", the screen cannot be read)" : ")");
        return false;
    }
    return true;
}

bool CStudioProgram::Click(const QRect& where) {
    QPoint at = where.center();
    return media::RunCommand({"xdotool", "mousemove", "--window", window, std::to_string(at.x()),
                              std::to_string(at.y()), "click", "1"}) == 0;
}

bool CStudioProgram::Keys(std::initializer_list<const char*> keys) {
    std::vector<std::string> argv{"xdotool", "key", "--delay", "50"};
    argv.insert(argv.end(), keys.begin(), keys.end());
    return media::RunCommand(argv) == 0;
}

bool CStudioProgram::SelectLoopbackHost() {
    // Into the Port box, then back along the tab order to Host: no drop-down
    // list is opened that a later click would only close.
    return Click(kPort) && Keys({"shift+Tab", "End"});
}

bool CStudioProgram::SetPort(uint16_t port) {
    if (!Click(kPort) || !Keys({"ctrl+a"}))
        return false;
    return media::RunCommand({"xdotool", "type", "--delay", "50", std::to_string(port)}) == 0 &&
           Keys({"Tab"});
}

bool CStudioProgram::PressStart() {
    return Click(kStart);
}

QImage CStudioProgram::Grab() {
    if (window.empty())
        return {};
    const std::string path = home + "/screen.png";
    if (media::RunCommand({"import", "-window", "root", path}) != 0)
        return {};
    QImage screen(QString::fromStdString(path));
    if (screen.isNull())
        return {};
    return screen.copy(frame).convertToFormat(QImage::Format_RGB32);
}

int CStudioProgram::Stop() {
    if (!process.Running())
        return process.Wait(std::chrono::milliseconds(0));
    process.Signal(SIGTERM);
    int code = process.Wait(std::chrono::seconds(10));
    if (code == -1) {
        process.Stop(std::chrono::seconds(0));
        return 128 + SIGKILL;
    }
    return code;
}
