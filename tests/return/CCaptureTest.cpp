// The studio source on the test set-up's sound server: "Studio_Mic" hears
// what is played into "Studio_Mic_Feed".
#include "return/CCapture.h"
#include "return/CDevice.h"
#include "support/RecordingLine.h"
#include "support/TestClient.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using testing_support::RecordingLine;
using testing_support::WaitUntil;

namespace {

constexpr int32_t kChunk = 20480;

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

bool Listed(std::u16string_view name) {
    auto names = CDevice::Names();
    return std::find(names.begin(), names.end(), name) != names.end();
}

class CaptureTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(ring.Open(kChunk, 8)); }
    void TearDown() override { EndReading(); }

    // Takes the chunks as the return audio's streaming thread does, and
    // keeps watch over the source.
    void Read() {
        reader = std::thread([this] {
            while (!stop) {
                if (ring.Take(250ms)) {
                    ++chunks;
                    ring.Release();
                }
                capture.Watch(CCapture::Clock::now());
            }
        });
    }
    void EndReading() {
        stop = true;
        ring.Wake();
        if (reader.joinable())
            reader.join();
    }
    bool Told(std::u16string_view text) {
        auto texts = line.Texts();
        return std::find(texts.begin(), texts.end(), text) != texts.end();
    }

    WAVEFORMATEX format = DefaultWaveFormat();
    RecordingLine line;
    CErrorHandler handler{&line};
    CChunkRing ring;
    CCapture capture{ring, &handler};
    std::atomic<int> chunks{0};
    std::atomic<bool> stop{false};
    std::thread reader;
};

} // namespace

TEST(CDeviceTest, ListsTheStudioMicrophoneByItsNameAndNoMonitors) {
    EXPECT_TRUE(Listed(u"Studio_Mic"));
    EXPECT_FALSE(Listed(u"Monitor of Studio_Mic_Feed"));
}

TEST_F(CaptureTest, RecordsWholeChunksInItsFormatUntilStopped) {
    ASSERT_TRUE(capture.Open(u"Studio_Mic", format, kChunk));
    EXPECT_TRUE(line.Texts().empty());
    ASSERT_TRUE(capture.Run());
    Read();
    // An idle sink takes up to two seconds for its first buffer.
    ASSERT_TRUE(WaitUntil([&] { return chunks >= 3; }, 15s));
    CCapture::Status s = capture.GetStatus();
    EXPECT_EQ(s.device, u"Studio_Mic");
    EXPECT_EQ(+s.format.nSamplesPerSec, 44100u);
    EXPECT_EQ(+s.format.nChannels, 2);
    EXPECT_EQ(s.bufferBytes, uint32_t(kChunk));
    EXPECT_TRUE(s.connected && s.running);
    EXPECT_TRUE(s.failure.empty());
    EXPECT_GE(s.buffersDelivered, 3u);
    EXPECT_EQ(s.bytesDropped, 0u);

    EndReading();
    capture.Stop();
    // Nothing is written into the ring once Stop has returned.
    const int taken = chunks;
    EXPECT_EQ(ring.Take(400ms), nullptr) << "after " << taken << " chunks";
    s = capture.GetStatus();
    EXPECT_FALSE(s.connected || s.running);
}

TEST_F(CaptureTest, EachFailureIsToldWithItsText) {
    // Only the exact name finds the device.
    for (std::u16string name :
         {u"Studio_Microphone", u"studio_mic", u"STUDIO_MIC", u"Studio_Mic "}) {
        CCapture other(ring, &handler);
        EXPECT_FALSE(other.Open(name, format, kChunk));
        EXPECT_FALSE(other.Run());
        EXPECT_TRUE(other.GetStatus().device.empty());
        EXPECT_EQ(other.GetStatus().failure, u"No audio capture device has the chosen name.");
    }
    // A format the device refuses: found, but not opened.
    WAVEFORMATEX wide = format;
    wide.wBitsPerSample = 24;
    wide.nBlockAlign = 6;
    wide.nAvgBytesPerSec = wide.nSamplesPerSec * 6;
    EXPECT_FALSE(capture.Open(u"Studio_Mic", wide, kChunk));
    EXPECT_EQ(capture.GetStatus().device, u"Studio_Mic");
    EXPECT_FALSE(capture.GetStatus().connected);

    std::vector<std::u16string> expected(4, u"No audio capture device has the chosen name.");
    expected.push_back(u"The capture device does not accept this wave format.");
    EXPECT_EQ(line.Texts(), expected) << "each failure told once, whole";
}

TEST_F(CaptureTest, NoCaptureDevicesAtAllIsToldAsSuch) {
    // A sound system SDL cannot start lists no devices, as a machine without
    // any would. Only this test process sees the setting.
    const char* old = std::getenv("SDL_AUDIODRIVER");
    std::string saved = old ? old : "";
    setenv("SDL_AUDIODRIVER", "lumen-none", 1);
    const bool none = CDevice::Names().empty();
    const bool opened = capture.Open(u"Studio_Mic", format, kChunk);
    if (old)
        setenv("SDL_AUDIODRIVER", saved.c_str(), 1);
    else
        unsetenv("SDL_AUDIODRIVER");
    EXPECT_TRUE(none);
    EXPECT_FALSE(opened);
    EXPECT_EQ(line.Texts(), std::vector<std::u16string>{u"No audio capture device is available."});
}

TEST_F(CaptureTest, OfTwoDevicesOfOneNameTheFirstIsTaken) {
    LoadedModule twin("module-remap-source master=studio_out.monitor source_name=lumen_twin "
                      "source_properties=device.description=Studio_Mic");
    if (twin.id.empty())
        GTEST_SKIP() << "the sound server's tools are not available";
    ASSERT_TRUE(WaitUntil([] { return CDevice::Names().size() >= 2; }, 10s));
    // The sound system tells them apart by a number: the plain name stays
    // with the first.
    auto names = CDevice::Names();
    EXPECT_EQ(std::count(names.begin(), names.end(), u"Studio_Mic"), 1);
    ASSERT_TRUE(capture.Open(u"Studio_Mic", format, kChunk));
    ASSERT_TRUE(capture.Run());
    Read();
    EXPECT_TRUE(WaitUntil([&] { return chunks >= 1; }, 15s));
}

TEST_F(CaptureTest, ASourceThatStallsOrGoesAwayIsToldAndTakenBackByItsName) {
    constexpr char kFieldMic[] = "module-remap-source master=studio_mic_feed.monitor "
                                 "source_name=lumen_field_mic "
                                 "source_properties=device.description=Field_Mic";
    auto module = std::make_unique<LoadedModule>(kFieldMic);
    if (module->id.empty())
        GTEST_SKIP() << "the sound server's tools are not available";
    ASSERT_TRUE(WaitUntil([] { return Listed(u"Field_Mic"); }, 10s));
    ASSERT_TRUE(capture.Open(u"Field_Mic", format, kChunk));
    ASSERT_TRUE(capture.Run());
    Read();
    ASSERT_TRUE(WaitUntil([&] { return chunks >= 1; }, 15s));

    Shell("pactl suspend-source lumen_field_mic 1");
    EXPECT_TRUE(WaitUntil(
        [&] { return Told(u"The studio audio source has delivered nothing for 2 s."); }, 20s));
    Shell("pactl suspend-source lumen_field_mic 0");
    EXPECT_TRUE(WaitUntil([&] { return Told(u"The studio audio source delivers again."); }, 20s));

    module->Unload();
    EXPECT_TRUE(WaitUntil([&] {
        return Told(u"The studio audio source has gone: no studio audio is sent back until it "
                    u"returns.");
    }, 20s));
    module = std::make_unique<LoadedModule>(kFieldMic);
    ASSERT_FALSE(module->id.empty());
    EXPECT_TRUE(WaitUntil(
        [&] { return Told(u"The studio audio source is back: studio audio is sent again."); },
        20s));
    const int before = chunks;
    EXPECT_TRUE(WaitUntil([&] { return chunks > before + 2; }, 20s));
}
