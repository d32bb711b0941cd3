// The return audio of one connection end to end: a tone played into
// "Studio_Mic_Feed" is captured from "Studio_Mic", encoded and written to a
// real loopback connection, where it is read back and decoded.
#include "return/CReturnAudio.h"
#include "codec/CAdtsHeader.h"
#include "codec/CAudioEncoder.h"
#include "dialogs/CapturePropertiesDialog.h"
#include "platform/audio/AudioStream.h"
#include "support/LoopbackPair.h"
#include "support/RecordingLine.h"
#include "support/TestClient.h"
#include "tools/media/CAacDecoder.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QDialog>
#include <QLabel>
#include <QTimer>

#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <cmath>
#include <mutex>
#include <numbers>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using testing_support::RecordingLine;
using testing_support::WaitUntil;

namespace {

// A sine tone played on an output device chosen by name.
class TonePlayer : private platform::CPlaybackSource {
public:
    bool Open(const char* device, double hz, double level) {
        frequency = hz;
        amplitude = level;
        stream = platform::CAudioSystem::OpenPlayback(device, platform::PcmFormat{44100, 2}, 1024,
                                                      4096, this);
        if (stream)
            stream->Start();
        return stream != nullptr;
    }

private:
    void Pull(uint8_t* data, uint32_t bytes) override {
        auto* out = reinterpret_cast<int16_t*>(data);
        for (uint32_t i = 0; i < bytes / 4; ++i) {
            auto v = static_cast<int16_t>(32767 * amplitude * std::sin(phase));
            out[2 * i] = out[2 * i + 1] = v;
            phase = std::fmod(phase + 2 * std::numbers::pi * frequency / 44100, 2 * std::numbers::pi);
        }
    }

    double frequency = 0, amplitude = 0, phase = 0;
    std::unique_ptr<platform::CAudioStream> stream;
};

// Amplitude of the component at hz (Goertzel) in the left channel, the
// median over windows of 100 ms, so that a moment's stall does not count.
double Amplitude(const std::vector<int16_t>& stereo, size_t from, double hz) {
    const double w = 2 * std::numbers::pi * hz / 44100, c = 2 * std::cos(w);
    const size_t window = 4410;
    std::vector<double> amplitudes;
    for (size_t start = from; start + window <= stereo.size() / 2; start += window) {
        double s1 = 0, s2 = 0;
        for (size_t i = start; i < start + window; ++i) {
            double s0 = stereo[2 * i] / 32768.0 + c * s1 - s2;
            s2 = s1;
            s1 = s0;
        }
        amplitudes.push_back(2 * std::sqrt(std::max(s1 * s1 + s2 * s2 - c * s1 * s2, 0.0)) /
                             double(window));
    }
    if (amplitudes.empty())
        return 0;
    auto middle = amplitudes.begin() + ptrdiff_t(amplitudes.size() / 2);
    std::nth_element(amplitudes.begin(), middle, amplitudes.end());
    return *middle;
}

// The names of this process's threads.
std::string ThreadNames() {
    std::string names;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream comm(task.path() / "comm");
        std::string name;
        std::getline(comm, name);
        names += name + "\n";
    }
    return names;
}

class ReturnAudioTest : public ::testing::Test {
protected:
    void SetUp() override {
        ClearSessionContext(session);
        session.captureFormat = &format;
        session.errorHandler = &handler;
        session.audioSource = 1;
        SetSessionAudioSourceName(session, u"Studio_Mic");
        timeval patience{15, 0};
        setsockopt(peer, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
    }
    void TearDown() override {
        returned.reset();
    }
    void Start() {
        returned = std::make_unique<CReturnAudio>(&session, studio,
                                                  std::make_unique<CAudioEncoder>(), &meter);
    }
    bool Read(PacketHeader& header, std::vector<uint8_t>& payload) {
        if (recv(peer, header.bytes, 12, MSG_WAITALL) != 12)
            return false;
        payload.assign(header.PayloadLength(), 0);
        return payload.empty() ||
               recv(peer, payload.data(), payload.size(), MSG_WAITALL) == ssize_t(payload.size());
    }

    SessionContext session;
    WAVEFORMATEX format = DefaultWaveFormat();
    RecordingLine line;
    CErrorHandler handler{&line};
    CLevelMeter meter;
    testing_support::LoopbackPair link; // the studio's end, and the field unit's
    SOCKET& studio = link.studio;
    SOCKET& peer = link.peer;
    std::unique_ptr<CReturnAudio> returned;
};

} // namespace

TEST_F(ReturnAudioTest, TheStudioToneArrivesAsAacPackets) {
    TonePlayer tone;
    ASSERT_TRUE(tone.Open("Studio_Mic_Feed", 1000, 0.25));
    Start();
    EXPECT_TRUE(WaitUntil([] {
        return ThreadNames().find(CReturnAudio::kStreamingThreadName) != std::string::npos;
    }));
    media::CAacDecoder decoder;
    ASSERT_TRUE(decoder.Open());
    std::vector<int16_t> pcm;
    for (int i = 0; i < 26; ++i) { // three seconds
        PacketHeader header;
        std::vector<uint8_t> payload;
        ASSERT_TRUE(Read(header, payload)) << "packet " << i;
        ASSERT_EQ(header.Magic(), kReturnAudioMagic);
        auto lengths = CAdtsHeader::FrameLengths(payload.data(), payload.size());
        ASSERT_FALSE(lengths.empty()) << "whole ADTS frames, packet " << i;
        for (const uint8_t* f = payload.data(); size_t length : lengths) {
            decoder.Decode(f, length, pcm);
            f += length;
        }
    }
    EXPECT_TRUE(line.Texts().empty());
    EXPECT_EQ(decoder.StreamSampleRate(), 44100);
    EXPECT_EQ(decoder.StreamChannels(), 2);
    const double tone1000 = Amplitude(pcm, 22050, 1000);
    EXPECT_NEAR(tone1000, 0.25, 0.08);
    EXPECT_LT(Amplitude(pcm, 22050, 700), tone1000 / 20);
    EXPECT_TRUE(meter.Read().open) << "what is sent back is metered";

    // A packet is counted once its send has returned, which may be after the
    // peer has read it.
    EXPECT_TRUE(WaitUntil([&] { return returned->GetCounters().packetsSent >= 26u; }));
    CReturnAudio::Counters counters = returned->GetCounters();
    EXPECT_GE(returned->GetStatus().buffersDelivered, counters.packetsSent);
    returned.reset();
    EXPECT_FALSE(meter.Read().open);
}

TEST_F(ReturnAudioTest, TheNoneSourceAndAnEncoderThatCannotOpenSendNothing) {
    session.audioSource = 0;
    SetSessionAudioSourceName(session, u"(none)");
    Start();
    EXPECT_TRUE(returned->GetStatus().device.empty());
    EXPECT_FALSE(returned->Running());
    // The AAC encoder takes none of the unusual rates.
    session.audioSource = 1;
    format.nSamplesPerSec = 12345;
    format.nAvgBytesPerSec = 12345 * 4;
    Start();
    EXPECT_FALSE(returned->Running());
    EXPECT_TRUE(returned->GetStatus().device.empty()) << "no source opened";
    EXPECT_EQ(line.Texts(), std::vector<std::u16string>{
                                u"The AAC encoder could not be opened: no studio audio is sent back."});
    uint8_t byte;
    timeval brief{1, 500000};
    setsockopt(peer, SOL_SOCKET, SO_RCVTIMEO, &brief, sizeof brief);
    EXPECT_LE(recv(peer, &byte, 1, 0), 0) << "no return audio";
}

TEST_F(ReturnAudioTest, ThePropertyDialogOutlivesItsConnection) {
    static int argc = 1;
    static char name[] = "CReturnAudioTest";
    static char* argv[] = {name, nullptr};
    static auto* app = new QApplication(argc, argv);
    (void)app;
    Start();
    ASSERT_TRUE(WaitUntil([&] { return returned->GetStatus().running; }, 10s));
    std::mutex lock; // the connection ends on another thread meanwhile
    auto read = [&]() -> std::optional<CCapture::Status> {
        std::lock_guard guard(lock);
        return returned ? std::optional(returned->GetStatus()) : std::nullopt;
    };
    QString title, device, format, stateOpen, stateAfter;
    bool ended = false;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        if (!dialog)
            return;
        auto label = [&](const char* n) {
            auto* l = dialog->findChild<QLabel*>(n);
            return l ? l->text() : QString();
        };
        if (!ended) {
            title = dialog->windowTitle();
            device = label("Device");
            format = label("Format");
            stateOpen = label("State");
            std::thread([&] {
                std::lock_guard guard(lock);
                returned.reset();
            }).join();
            ended = true;
            return;
        }
        stateAfter = label("State");
        if (stateAfter == "Not connected")
            dialog->accept();
    });
    poll.start(100);
    QTimer::singleShot(30000, [] {
        if (QWidget* dialog = QApplication::activeModalWidget())
            dialog->close();
    });
    ShowCapturePropertiesDialog(nullptr, read, *read());
    poll.stop();
    EXPECT_TRUE(ended);
    EXPECT_EQ(title, "AudioCapture");
    EXPECT_EQ(device, "Studio_Mic");
    EXPECT_EQ(format, "PCM, 44100 Hz, 2 channels, 16 bits");
    EXPECT_EQ(stateOpen, "Running");
    EXPECT_EQ(stateAfter, "Not connected");
}
