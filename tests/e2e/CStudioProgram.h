// The real lumenfeed program, started with stored choices of the test's own
// and driven through its window the way an operator does: mouse clicks and
// keys sent to the X server, the screen read back as a picture.
#pragma once

#include "tools/media/CChildProcess.h"

#include <QImage>
#include <QRect>

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>

class CStudioProgram {
public:
    // Where the main window's parts are, in window coordinates.
    static constexpr QRect kPanel{7, 68 + 6, 362, 290};
    static constexpr QRect kVideo{7 + 1, 68 + 6 + 1, 360, 288};
    static constexpr QRect kHost{375 + 33, 68 + 6 + 35, 120, 21};
    static constexpr QRect kPort{375 + 161, 68 + 6 + 35, 55, 21};
    static constexpr QRect kStart{95, 68 + 302, 90, 25};
    // The "Connected." / "Unconnected." line, up to the Start button.
    static constexpr QRect kClients{2, 68 + 298, 90, 19};

    struct Choices {
        int full = 0;
        int audioSource = 0;
        // Further "Name=value" lines for the settings file.
        std::string more;
    };

    // The capture list of the Studio box is "(none)" and then the capture
    // devices in the audio layer's order; the stored choice is a position in
    // it. -1 when no device has the name.
    static int AudioSourcePosition(const std::u16string& name);

    CStudioProgram() = default;
    virtual ~CStudioProgram();
    CStudioProgram(const CStudioProgram&) = delete;
    CStudioProgram& operator=(const CStudioProgram&) = delete;

    // Stores choices in a settings file under home, starts the program with
    // home as its home and waits until its window is on the screen and drawn.
    bool Start(const std::string& program, const std::string& home, const Choices& choices,
               std::string& problem);
    // The loopback address is the last entry of the Host list.
    bool SelectLoopbackHost();
    bool SetPort(uint16_t port);
    bool PressStart();
    // The window as the screen shows it now; a null image when it cannot be read.
    QImage Grab();
    // Waits until a picture of the window satisfies test.
    template <typename Test> bool WaitForWindow(Test test, std::chrono::milliseconds timeout);
    // Ends the program with SIGTERM as a session manager would; the exit
    // code, 128 + 9 when it had to be killed.
    int Stop();
    std::string Output() const { return process.Output(); }
    pid_t Pid() const { return process.Pid(); }
    // The window's place on the screen.
    QRect Frame() const { return frame; }

private:
    bool Click(const QRect& where);
    bool Keys(std::initializer_list<const char*> keys);

    media::CChildProcess process;
    std::string home;
    std::string window;
    QRect frame;
};

template <typename Test>
bool CStudioProgram::WaitForWindow(Test test, std::chrono::milliseconds timeout) {
    auto end = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        QImage picture = Grab();
        if (!picture.isNull() && test(picture))
            return true;
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}
