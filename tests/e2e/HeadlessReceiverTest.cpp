// Receivers without a window, run as a service manager runs them: the real
// lumenfeed program with no display, its choices in a file of its own, a
// field unit streaming to it over 127.0.0.1, ended by SIGTERM.
#include "CTempDir.h"
#include "platform/SocketCompat.h"
#include "support/TestClient.h"
#include "tools/media/CChildProcess.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

using namespace std::chrono_literals;
using media::CChildProcess;

namespace {

const std::string kLumenfeed = media::ProgramPath("lumenfeed", LUMENFEED_PATH);

// No display: the receiver must not need one.
std::vector<std::string> Environment(const CTempDir& home) {
    return {"HOME=" + home.Path(), "XDG_CONFIG_HOME=" + home.File(".config"), "DISPLAY=",
            "WAYLAND_DISPLAY="};
}

// As a receiver started again would: the connections the old one closed may
// linger a while on the port, but no listener.
bool CanListenOn(uint16_t port) {
    SOCKET s = ::socket(AF_INET, SOCK_STREAM, 0);
    platform::SetReuseAddress(s);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && listen(s, 1) == 0;
    closesocket(s);
    return ok;
}

// The recording's streams and length, as ffprobe reads them.
std::string Probe(const std::string& path) {
    std::string text;
    media::RunCommand({"ffprobe", "-v", "error", "-count_frames", "-show_entries",
                       "stream=codec_name,nb_read_frames:format=duration", "-of",
                       "default=noprint_wrappers=1", path},
                      &text, 120s);
    return text;
}

template <typename Test> bool WaitUntil(Test test, std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!test()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(50ms);
    }
    return true;
}

} // namespace

TEST(HeadlessReceiver, SigtermEndsItWithThePortReleasedAndTheRecordingPlayable) {
    CTempDir home;
    ASSERT_TRUE(home.Ok());
    const uint16_t port = testing_support::FreePort();
    const std::string where = "127.0.0.1:" + std::to_string(port);
    const std::string folder = home.File("recordings");
    std::filesystem::create_directories(folder);
    // As the service's unit runs it: a name, and the choices in a file.
    const std::string config = home.File("north.conf");
    std::ofstream(config) << "[General]\nListen=" << where << "\nSource=Studio_Mic\nOutput=Studio_Out\n"
                          << "RecordFolder=" << folder << "\nRecord=1\nIdleTimeout=30\n";

    CChildProcess receiver;
    ASSERT_TRUE(receiver.Start({kLumenfeed, "--headless", "--instance", "north", "--config", config},
                               Environment(home), home.File("north.log")));
    ASSERT_TRUE(receiver.WaitForOutput("lumenfeed[north]: notice: Listening on " + where + ".", 30s))
        << receiver.Output();

    CChildProcess field;
    ASSERT_TRUE(field.Start({FIELDUNIT_PATH, where, "--duration", "60", "--size", "320x240",
                             "--return-tone", "600"},
                            {}, home.File("fieldunit.log")));
    // Recording for a while: more than its first flush.
    auto recording = [&] {
        for (const auto& entry : std::filesystem::directory_iterator(folder))
            if (entry.path().extension() == ".ts" && std::filesystem::file_size(entry.path()) > 100000)
                return true;
        return false;
    };
    ASSERT_TRUE(WaitUntil(recording, 60s)) << receiver.Output() << field.Output();

    receiver.Signal(SIGTERM);
    const int code = receiver.Wait(20s);
    EXPECT_EQ(code, 0) << receiver.Output();
    EXPECT_TRUE(CanListenOn(port)) << "the port is released";
    const std::string out = receiver.Output();
    EXPECT_NE(out.find("lumenfeed[north]: notice: Stopped."), std::string::npos) << out;
    // The field unit's connection ended with the program.
    EXPECT_TRUE(WaitUntil([&] { return !field.Running(); }, 30s)) << field.Output();

    std::string file;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        file = entry.path().string();
    const std::string probe = Probe(file);
    EXPECT_NE(probe.find("codec_name=h264"), std::string::npos) << probe;
    EXPECT_NE(probe.find("codec_name=aac"), std::string::npos) << probe;
    double seconds = 0;
    if (auto at = probe.find("duration="); at != std::string::npos)
        seconds = std::atof(probe.c_str() + at + 9);
    EXPECT_GT(seconds, 1.0) << probe;
}

TEST(HeadlessReceiver, ASecondOnTheSameAddressAndPortSaysSoAndEnds) {
    CTempDir home;
    ASSERT_TRUE(home.Ok());
    const uint16_t port = testing_support::FreePort();
    const std::string where = "127.0.0.1:" + std::to_string(port);
    CChildProcess first, second;
    ASSERT_TRUE(first.Start({kLumenfeed, "--headless", "--instance", "one", "--listen", where},
                            Environment(home), home.File("one.log")));
    ASSERT_TRUE(first.WaitForOutput("Listening on " + where, 30s)) << first.Output();
    ASSERT_TRUE(second.Start({kLumenfeed, "--headless", "--instance", "two", "--listen", where},
                             Environment(home), home.File("two.log")));
    EXPECT_EQ(second.Wait(30s), 3) << second.Output();
    EXPECT_NE(second.Output().find("lumenfeed[two]: error: Another program listens on " + where +
                                   " already."),
              std::string::npos)
        << second.Output();

    // The first one goes on serving.
    testing_support::TestClient client;
    EXPECT_TRUE(client.Connect(port)) << first.Output();
    first.Signal(SIGTERM);
    EXPECT_EQ(first.Wait(20s), 0) << first.Output();

    // Nowhere to listen is said too.
    CChildProcess nowhere;
    ASSERT_TRUE(nowhere.Start({kLumenfeed, "--headless"}, Environment(home), home.File("none.log")));
    EXPECT_EQ(nowhere.Wait(30s), 3) << nowhere.Output();
    EXPECT_NE(nowhere.Output().find("error: No address to listen on"), std::string::npos)
        << nowhere.Output();
}
