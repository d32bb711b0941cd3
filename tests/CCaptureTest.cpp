// The capture graph on the test set-up's sound server: "Studio_Mic" hears what
// is played into "Studio_Mic_Feed".
#include "capture/CCapture.h"
#include "capture/CAudioIn.h"
#include "capture/CDevice.h"
#include "capture/CNetwork.h"
#include "codec/CAudioEncoder.h"
#include "console/ConsoleDialogs.h"
#include "core/CErrorHandler.h"
#include "platform/AudioOut.h"
#include "support/RecordingLine.h"
#include "support/TestClient.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QDialog>
#include <QLabel>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#if defined(__linux__)
#include <pthread.h>
#endif

using namespace std::chrono_literals;
using testing_support::WaitUntil;

using testing_support::RecordingLine;

namespace {

// The connection's sender as the grabber's CAudioIn sees it: counts the chunks
// it is handed, where, and whether two ever overlap or one comes after Stop.
// A CNetwork of the "(none)" source captures nothing by itself.
class RecordingSender : public CNetwork {
public:
    explicit RecordingSender(SessionContext* session)
        : CNetwork(session, std::make_unique<CAudioEncoder>()) {}
    void Send(const uint8_t*, uint32_t length) override {
        if (inside.exchange(true))
            overlapped = true;
        char name[32] = {};
#if defined(__linux__)
        pthread_getname_np(pthread_self(), name, sizeof name);
#endif
        {
            std::lock_guard guard(mutex);
            lengths.push_back(length);
            threads.emplace_back(name);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
        inside = false;
        ++calls;
    }
    std::vector<uint32_t> Lengths() {
        std::lock_guard guard(mutex);
        return lengths;
    }
    std::vector<std::string> Threads() {
        std::lock_guard guard(mutex);
        return threads;
    }

    std::atomic<bool> inside{false};
    std::atomic<bool> overlapped{false};
    std::atomic<int> calls{0};
    int delayMs = 0;

private:
    std::mutex mutex;
    std::vector<uint32_t> lengths;
    std::vector<std::string> threads;
};

std::vector<std::u16string> AudioSources() {
    std::vector<std::u16string> names;
    CDevice device;
    EXPECT_EQ(device.ListDevices([&](const std::u16string& n) { names.push_back(n); }, 1), 1);
    return names;
}

// Runs a shell command of the sound server's tools; its first output line.
std::string Shell(const std::string& command) {
    std::string line;
    if (FILE* pipe = popen((command + " 2>/dev/null").c_str(), "r")) {
        char buffer[256];
        if (fgets(buffer, sizeof buffer, pipe))
            line = buffer;
        pclose(pipe);
    }
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.pop_back();
    return line;
}

class CaptureTest : public ::testing::Test {
protected:
    void SetUp() override {
        ClearSessionContext(session);
        format = DefaultWaveFormat();
        session.captureFormat = &format;
        session.chunkSize = 20480;
        session.errorHandler = &handler;
        sender = std::make_unique<RecordingSender>(&session);
        session.sender = sender.get();
        grabber = std::make_unique<CAudioIn>(&session, sender.get());
        session.grabber = grabber.get();
    }
    void TearDown() override {
        session.sender = nullptr;
        session.grabber = nullptr;
    }

    void Name(std::u16string_view name) { SetSessionAudioSourceName(session, name); }
    std::vector<std::u16string> Texts() { return line.Texts(); }

    SessionContext session;
    WAVEFORMATEX format{};
    RecordingLine line;
    CErrorHandler handler{&line};
    std::unique_ptr<RecordingSender> sender;
    std::unique_ptr<CAudioIn> grabber;
};

} // namespace

TEST(CDeviceTest, ListsTheStudioMicrophoneByItsName) {
    auto names = AudioSources();
    EXPECT_NE(std::find(names.begin(), names.end(), u"Studio_Mic"), names.end());
    // Monitors of output devices are not capture devices here.
    EXPECT_EQ(std::find(names.begin(), names.end(), u"Monitor of Studio_Mic_Feed"), names.end());
}

TEST(CDeviceTest, EnumeratesWithoutAddingAndHasNoVideoDevices) {
    CDevice device;
    EXPECT_EQ(device.ListDevices(nullptr, 1), 1);
    EXPECT_EQ(device.LastResult(), S_OK);
    int added = 0;
    EXPECT_EQ(device.ListDevices([&](const std::u16string&) { ++added; }, 0), 1);
    EXPECT_EQ(added, 0);
}

TEST_F(CaptureTest, DeliversChunksOnTheStreamingThreadUntilStop) {
    CCapture capture;
    Name(u"Studio_Mic");
    ASSERT_EQ(capture.Build(&session), 1);
    EXPECT_TRUE(Texts().empty());
    sender->delayMs = 30;
    ASSERT_EQ(capture.Run(), 1);
    // An idle sink takes up to two seconds for its first buffer.
    ASSERT_TRUE(WaitUntil([&] { return sender->calls >= 3; }, 15s));
    EXPECT_EQ(capture.Stop(), 1);
    EXPECT_FALSE(sender->inside) << "Stop returned during a delivery";
    int after = sender->calls;
    std::this_thread::sleep_for(400ms);
    EXPECT_EQ(sender->calls, after) << "a delivery after Stop";
    EXPECT_FALSE(sender->overlapped);
    for (uint32_t length : sender->Lengths())
        EXPECT_EQ(length, 20480u);
    for (const std::string& thread : sender->Threads())
        EXPECT_EQ(thread, platform::kStreamingThreadName) << "never on the device's own thread";
    EXPECT_EQ(grabber->Queued(), 0u) << "buffers of one chunk leave nothing behind";

    auto filter = capture.CaptureFilter();
    ASSERT_TRUE(filter);
    auto p = filter->GetProperties();
    EXPECT_EQ(p.graphName, u"AudioCapture");
    EXPECT_EQ(p.friendlyName, u"Studio_Mic");
    EXPECT_EQ(+p.format.nSamplesPerSec, 44100u);
    EXPECT_EQ(+p.format.nChannels, 2);
    EXPECT_EQ(p.bufferBytes, 20480u);
    EXPECT_FALSE(p.running);

    // Run again after Stop, as a graph may be.
    int before = sender->calls;
    ASSERT_EQ(capture.Run(), 1);
    EXPECT_TRUE(WaitUntil([&] { return sender->calls > before; }, 15s));
}

TEST_F(CaptureTest, AStopWhileADeliveryRunsWaitsForIt) {
    CCapture capture;
    Name(u"Studio_Mic");
    ASSERT_EQ(capture.Build(&session), 1);
    sender->delayMs = 300;
    ASSERT_EQ(capture.Run(), 1);
    ASSERT_TRUE(WaitUntil([&] { return sender->inside.load(); }, 15s));
    EXPECT_EQ(capture.Stop(), 1);
    EXPECT_FALSE(sender->inside);
}

TEST_F(CaptureTest, ANameThatMatchesNoDeviceFailsAtTheCaptureStep) {
    for (std::u16string name :
         {u"Studio_Microphone", u"studio_mic", u"STUDIO_MIC", u"Studio_Mic "}) {
        CCapture capture;
        Name(name);
        EXPECT_EQ(capture.Build(&session), 0);
        EXPECT_FALSE(capture.CaptureFilter()) << "no device was added";
        EXPECT_EQ(capture.LastResult(), VFW_E_NOT_FOUND);
        EXPECT_EQ(capture.Run(), 0) << "an incomplete graph does not run";
        EXPECT_EQ(capture.Stop(), 0);
    }
    auto texts = Texts();
    ASSERT_EQ(texts.size(), 4u) << "each failed build reports once";
    for (const auto& text : texts)
        EXPECT_EQ(text, u"No audio capture device has the chosen name.");
    EXPECT_EQ(sender->calls, 0);
}

TEST_F(CaptureTest, NoCaptureDevicesAtAllFailsAtTheCaptureStep) {
    // A sound system SDL cannot start lists no devices, as a machine without
    // any would. Only this test process sees the setting.
    const char* old = std::getenv("SDL_AUDIODRIVER");
    std::string saved = old ? old : "";
    setenv("SDL_AUDIODRIVER", "lumen-none", 1);
    EXPECT_TRUE(AudioSources().empty());
    {
        CCapture capture;
        Name(u"Studio_Mic");
        EXPECT_EQ(capture.Build(&session), 0);
        EXPECT_FALSE(capture.CaptureFilter());
        EXPECT_EQ(capture.LastResult(), VFW_E_NO_CAPTURE_HARDWARE);
    }
    if (old)
        setenv("SDL_AUDIODRIVER", saved.c_str(), 1);
    else
        unsetenv("SDL_AUDIODRIVER");
    ASSERT_EQ(Texts().size(), 1u);
    EXPECT_EQ(Texts()[0], u"No audio capture device is available.");
}

TEST_F(CaptureTest, ARefusedWaveFormatFailsAtTheFormatStepWithItsWholeText) {
    format.wBitsPerSample = 24;
    format.nBlockAlign = 6;
    format.nAvgBytesPerSec = format.nSamplesPerSec * 6;
    CCapture capture;
    Name(u"Studio_Mic");
    EXPECT_EQ(capture.Build(&session), 0);
    EXPECT_TRUE(capture.CaptureFilter()) << "the device was found and added";
    EXPECT_EQ(capture.LastResult(), VFW_E_INVALIDMEDIATYPE);
    ASSERT_EQ(Texts().size(), 1u);
    EXPECT_EQ(Texts()[0], u"The capture device does not accept this wave format.")
        << "no character cut off";
    EXPECT_EQ(capture.ErrorText(), Texts()[0]);
}

TEST_F(CaptureTest, TwoDevicesOfTheSameDescriptionTakeTheFirst) {
    // A second source with the same description, fed from another sink.
    std::string module =
        Shell("pactl load-module module-remap-source master=studio_out.monitor "
              "source_name=lumen_twin source_properties=device.description=Studio_Mic");
    if (module.empty() || module.find_first_not_of("0123456789") != std::string::npos)
        GTEST_SKIP() << "the sound server's tools are not available";
    struct Unload {
        std::string id;
        ~Unload() { Shell("pactl unload-module " + id); }
    } unload{module};

    std::vector<std::u16string> names;
    ASSERT_TRUE(WaitUntil([&] { return (names = AudioSources()).size() >= 2; }, 10s));
    // Both are listed; the sound system tells them apart by a number, so the
    // plain name stays with the first.
    auto first = std::find(names.begin(), names.end(), u"Studio_Mic");
    ASSERT_NE(first, names.end());
    EXPECT_EQ(std::count(names.begin(), names.end(), u"Studio_Mic"), 1);

    CCapture capture;
    Name(u"Studio_Mic");
    ASSERT_EQ(capture.Build(&session), 1);
    EXPECT_EQ(capture.CaptureFilter()->DeviceIndex(), first - names.begin());
    ASSERT_EQ(capture.Run(), 1);
    EXPECT_TRUE(WaitUntil([&] { return sender->calls >= 1; }, 15s));
    capture.Stop();
}

namespace {

// A source of the sound server's, loaded for one test and gone with it.
struct LoadedModule {
    std::string id;
    explicit LoadedModule(const std::string& arguments)
        : id(Shell("pactl load-module " + arguments)) {
        if (id.find_first_not_of("0123456789") != std::string::npos)
            id.clear();
    }
    void Unload() {
        if (!id.empty())
            Shell("pactl unload-module " + id);
        id.clear();
    }
    ~LoadedModule() { Unload(); }
};

constexpr char kFieldMic[] = "module-remap-source master=studio_mic_feed.monitor "
                             "source_name=lumen_field_mic "
                             "source_properties=device.description=Field_Mic";

} // namespace

TEST_F(CaptureTest, ASourceThatStallsOrGoesAwayIsToldAndTakenBackByItsName) {
    auto module = std::make_unique<LoadedModule>(kFieldMic);
    if (module->id.empty())
        GTEST_SKIP() << "the sound server's tools are not available";
    ASSERT_TRUE(WaitUntil([] {
        auto names = AudioSources();
        return std::find(names.begin(), names.end(), u"Field_Mic") != names.end();
    }, 10s));
    CCapture capture;
    Name(u"Field_Mic");
    ASSERT_EQ(capture.Build(&session), 1);
    ASSERT_EQ(capture.Run(), 1);
    ASSERT_TRUE(WaitUntil([&] { return sender->calls >= 1; }, 15s));
    auto told = [&](std::u16string_view text) {
        auto texts = Texts();
        return std::find(texts.begin(), texts.end(), text) != texts.end();
    };

    // Suspended, the source delivers nothing.
    Shell("pactl suspend-source lumen_field_mic 1");
    EXPECT_TRUE(WaitUntil(
        [&] { return told(u"The studio audio source has delivered nothing for 2 s."); }, 20s));
    Shell("pactl suspend-source lumen_field_mic 0");
    EXPECT_TRUE(WaitUntil([&] { return told(u"The studio audio source delivers again."); }, 20s));

    module->Unload();
    EXPECT_TRUE(WaitUntil([&] {
        return told(u"The studio audio source has gone: no studio audio is sent back until it "
                    u"returns.");
    }, 20s));
    module = std::make_unique<LoadedModule>(kFieldMic);
    ASSERT_FALSE(module->id.empty());
    EXPECT_TRUE(WaitUntil(
        [&] { return told(u"The studio audio source is back: studio audio is sent again."); }, 20s));
    int before = sender->calls;
    EXPECT_TRUE(WaitUntil([&] { return sender->calls > before + 2; }, 20s));
    EXPECT_EQ(capture.Stop(), 1);
}

TEST_F(CaptureTest, CapturesInRealTimeWhileProgrammeAudioPlays) {
    // The programme on the output, and the studio source fed by a player that
    // asks for short buffers: neither may slow the capture down.
    platform::CAudioOut programme;
    WAVEFORMATEX f = format;
    ASSERT_EQ(programme.Open(platform::CAudioOut::FindDevice("Studio_Out"), f), 1u);
    std::vector<int16_t> pcm(size_t(f.nSamplesPerSec) * 2 * 30, 1000);
    platform::WAVEHDR header;
    header.lpData = reinterpret_cast<uint8_t*>(pcm.data());
    header.dwBufferLength = static_cast<uint32_t>(pcm.size() * 2);
    ASSERT_EQ(programme.Prepare(&header), 1u);
    ASSERT_EQ(programme.Write(&header), 1u);
    std::string feeder = Shell("pacat -p --latency-msec=20 -d studio_mic_feed --raw /dev/zero "
                               ">/dev/null 2>&1 & echo $!");
    struct Kill {
        std::string pid;
        ~Kill() {
            if (!pid.empty())
                Shell("kill " + pid);
        }
    } kill{feeder};

    CCapture capture;
    Name(u"Studio_Mic");
    ASSERT_EQ(capture.Build(&session), 1);
    ASSERT_EQ(capture.Run(), 1);
    ASSERT_TRUE(WaitUntil([&] { return sender->calls >= 2; }, 15s));
    const int first = sender->calls;
    const auto start = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(8s);
    const int calls = sender->calls - first;
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double due = seconds * f.nAvgBytesPerSec / session.chunkSize;
    // The device delivers at its own rate whatever the load; a chunk or two
    // may still be on its way.
    EXPECT_GE(calls, due - 2) << calls << " chunks in " << seconds << " s";
    capture.Stop();
    programme.Reset();
    programme.Unprepare(&header);
}

namespace {

QApplication& App() {
    static int argc = 1;
    static char name[] = "CCaptureTest";
    static char* argv[] = {name, nullptr};
    // Never destroyed: Qt's own statics are gone by the time static objects
    // would be, at exit.
    static auto* app = new QApplication(argc, argv);
    InstallConsoleDialogs();
    return *app;
}

QString LabelText(QWidget* dialog, const char* name) {
    auto* label = dialog->findChild<QLabel*>(QString::fromLatin1(name));
    return label ? label->text() : QString();
}

} // namespace

TEST_F(CaptureTest, WithoutACaptureDeviceThePropertyPagesDoNothing) {
    App();
    CCapture empty;
    EXPECT_EQ(empty.ShowCaptureProperties(nullptr), 0);
    Name(u"nothing of that name");
    CCapture failed;
    EXPECT_EQ(failed.Build(&session), 0);
    EXPECT_EQ(failed.ShowCaptureProperties(nullptr), 0);
}

TEST_F(CaptureTest, ThePropertyDialogOutlivesItsGraph) {
    App();
    auto capture = std::make_unique<CCapture>();
    Name(u"Studio_Mic");
    ASSERT_EQ(capture->Build(&session), 1);
    ASSERT_EQ(capture->Run(), 1);
    ASSERT_TRUE(WaitUntil([&] { return sender->calls >= 1; }, 15s));

    QString title, device, format, buffer, stateOpen, stateAfter;
    bool closedGraph = false;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        QWidget* dialog = QApplication::activeModalWidget();
        if (!dialog)
            return;
        if (!closedGraph) {
            title = dialog->windowTitle();
            device = LabelText(dialog, "Device");
            format = LabelText(dialog, "Format");
            buffer = LabelText(dialog, "Buffer");
            stateOpen = LabelText(dialog, "State");
            // The connection ends on the worker thread while the dialog is open.
            std::thread([&] {
                capture->Stop();
                capture.reset();
            }).join();
            closedGraph = true;
            return;
        }
        stateAfter = LabelText(dialog, "State");
        if (stateAfter == "Not connected")
            qobject_cast<QDialog*>(dialog)->accept();
    });
    poll.start(100);
    // Bounded, in case the dialog never shows: then the check below fails.
    QTimer::singleShot(20000, [] {
        if (QWidget* dialog = QApplication::activeModalWidget())
            dialog->close();
    });
    EXPECT_EQ(capture->ShowCaptureProperties(nullptr), 1);
    poll.stop();

    EXPECT_TRUE(closedGraph);
    EXPECT_EQ(title, "AudioCapture");
    EXPECT_EQ(device, "Studio_Mic");
    EXPECT_EQ(format, "PCM, 44100 Hz, 2 channels, 16 bits");
    EXPECT_TRUE(buffer.startsWith("20480 bytes")) << buffer.toStdString();
    EXPECT_EQ(stateOpen, "Running");
    EXPECT_EQ(stateAfter, "Not connected") << "the dialog still reads its filter";
}
