// The audio output layer on the test sound server's "Studio_Out" sink, heard
// through that sink's monitor.
#include "platform/audio/AudioOut.h"
#include "support/MonitorRecorder.h"
#include "support/TestClient.h"
#include "support/ToneMeasure.h"
#include "tools/media/AacTone.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using namespace media;
using namespace testing_support;
using platform::CAudioOut;
using platform::WAVEHDR;
using platform::WHDR_DONE;
using platform::WHDR_INQUEUE;
using platform::WHDR_PREPARED;

namespace {

WAVEFORMATEX Pcm(uint32_t rate, uint16_t channels) {
    WAVEFORMATEX f{};
    f.wFormatTag = WAVE_FORMAT_PCM;
    f.nChannels = channels;
    f.nSamplesPerSec = rate;
    f.nBlockAlign = static_cast<uint16_t>(channels * 2);
    f.nAvgBytesPerSec = rate * f.nBlockAlign;
    f.wBitsPerSample = 16;
    return f;
}

// Headers over consecutive pieces of one PCM buffer.
struct Pieces {
    std::vector<int16_t> pcm;
    std::vector<std::unique_ptr<WAVEHDR>> headers;

    Pieces(std::vector<int16_t> samples, const std::vector<size_t>& frames, int channels)
        : pcm(std::move(samples)) {
        size_t at = 0;
        for (size_t n : frames) {
            auto h = std::make_unique<WAVEHDR>();
            h->lpData = reinterpret_cast<uint8_t*>(pcm.data() + at * channels);
            h->dwBufferLength = static_cast<uint32_t>(n * channels * 2);
            at += n;
            headers.push_back(std::move(h));
        }
    }
};

class AudioOutTest : public ::testing::Test {
protected:
    void SetUp() override {
        studioOut = CAudioOut::FindDevice("Studio_Out");
        ASSERT_GE(studioOut, 0) << "run under scripts/headless.sh";
    }

    void Record(int rate, int channels) {
        ASSERT_TRUE(monitor.Start("studio_out.monitor", rate, channels));
    }

    int32_t studioOut = -1;
    CAudioOut out;
    MonitorRecorder monitor;
};

TEST_F(AudioOutTest, ListsTheOutputDevicesByTheirNames) {
    int32_t count = CAudioOut::DeviceCount();
    ASSERT_GE(count, 2);
    std::vector<std::string> names;
    for (int32_t i = 0; i < count; ++i)
        names.push_back(CAudioOut::DeviceName(i));
    EXPECT_NE(std::find(names.begin(), names.end(), "Studio_Out"), names.end());
    EXPECT_NE(std::find(names.begin(), names.end(), "Studio_Mic_Feed"), names.end());
    EXPECT_EQ(CAudioOut::DeviceName(studioOut), "Studio_Out");
    EXPECT_EQ(CAudioOut::DeviceName(-1), "");
    EXPECT_EQ(CAudioOut::DeviceName(count), "");
    EXPECT_EQ(CAudioOut::FindDevice("No Such Device"), -1);
}

TEST_F(AudioOutTest, OpensOnlyWhatItCanPlay) {
    WAVEFORMATEX f = Pcm(48000, 2);
    f.wBitsPerSample = 8;
    EXPECT_EQ(out.Open(studioOut, f), 0u);
    f = Pcm(48000, 0);
    EXPECT_EQ(out.Open(studioOut, f), 0u);
    f = Pcm(48000, 2);
    f.nBlockAlign = 2;
    EXPECT_EQ(out.Open(studioOut, f), 0u);
    f = Pcm(0, 2);
    EXPECT_EQ(out.Open(studioOut, f), 0u);
    EXPECT_EQ(out.Open(CAudioOut::DeviceCount(), Pcm(48000, 2)), 0u);
    EXPECT_FALSE(out.IsOpen());

    EXPECT_EQ(out.Open(-1, Pcm(44100, 2)), 1u) << "-1 is the default device";
    EXPECT_TRUE(out.IsOpen());
    EXPECT_GE(out.DeviceBufferFrames(), 1024u);
    out.Close();
    out.Close();
    EXPECT_FALSE(out.IsOpen());
}

TEST_F(AudioOutTest, WritesOnlyPreparedHeadersThatAreNotQueued) {
    ASSERT_EQ(out.Open(studioOut, Pcm(48000, 1)), 1u);
    Pieces p(std::vector<int16_t>(48000), {48000}, 1);
    WAVEHDR& h = *p.headers[0];
    EXPECT_EQ(out.Write(&h), 0u) << "not prepared";
    ASSERT_EQ(out.Prepare(&h), 1u);
    EXPECT_TRUE(h.dwFlags & WHDR_PREPARED);
    ASSERT_EQ(out.Write(&h), 1u);
    EXPECT_TRUE(h.dwFlags & WHDR_INQUEUE);
    EXPECT_EQ(out.Write(&h), 0u) << "already queued";
    EXPECT_EQ(out.Unprepare(&h), 0u) << "still playing";
    out.Reset();
    EXPECT_EQ(out.Unprepare(&h), 1u);
    EXPECT_FALSE(h.dwFlags & WHDR_PREPARED);
}

TEST_F(AudioOutTest, PlaysHeadersInTheirOrderWithoutGapsMarkingEachDone) {
    Record(48000, 1);
    ASSERT_EQ(out.Open(studioOut, Pcm(48000, 1)), 1u);
    // Two seconds of one tone cut into pieces of uneven sizes.
    std::vector<size_t> frames;
    size_t total = 0;
    for (int i = 0; total < 96000; ++i) {
        size_t n = std::min<size_t>(i % 2 ? 6600 : 1500, 96000 - total);
        frames.push_back(n);
        total += n;
    }
    Pieces p(MakePcmTone(48000, 1, 1000.0, 0.5, total), frames, 1);
    for (auto& h : p.headers)
        ASSERT_EQ(out.Prepare(h.get()), 1u);
    for (auto& h : p.headers)
        ASSERT_EQ(out.Write(h.get()), 1u);

    // Done in the order written: the done ones are always the first ones.
    bool ordered = true;
    bool allDone = WaitUntil(
        [&] {
            bool seenQueued = false;
            size_t done = 0;
            for (auto& h : p.headers) {
                uint32_t f = h->dwFlags;
                if (f & WHDR_DONE) {
                    ++done;
                    if (seenQueued)
                        ordered = false;
                    EXPECT_FALSE(f & WHDR_INQUEUE);
                } else {
                    seenQueued = true;
                }
            }
            return done == p.headers.size();
        },
        10s);
    ASSERT_TRUE(allDone);
    EXPECT_TRUE(ordered);
    EXPECT_EQ(out.QueuedBytes(), 0u);
    std::this_thread::sleep_for(300ms); // the monitor's own delay

    std::vector<int16_t> heard = monitor.Samples();
    SoundRun run = LongestSound(heard, 1, 0, 48000);
    // One unbroken run of the whole two seconds (10 ms blocks).
    EXPECT_NEAR(static_cast<double>(run.Frames()) / 48000.0, 2.0, 0.05);
    Tone tone = MeasureTone(heard, 1, 0, 48000, run.first + 2400, run.end - 2400);
    EXPECT_NEAR(tone.frequency, 1000.0, 5.0);
    EXPECT_NEAR(tone.rms, 0.5 / std::sqrt(2.0), 0.05);
}

TEST_F(AudioOutTest, ResetStopsAtOnceAndReturnsEveryHeader) {
    Record(48000, 1);
    ASSERT_EQ(out.Open(studioOut, Pcm(48000, 1)), 1u);
    Pieces p(MakePcmTone(48000, 1, 1000.0, 0.5, 4 * 48000), {48000, 48000, 48000, 48000}, 1);
    for (auto& h : p.headers)
        ASSERT_EQ(out.Prepare(h.get()), 1u);
    for (auto& h : p.headers)
        ASSERT_EQ(out.Write(h.get()), 1u);
    // Wait until the tone is heard.
    ASSERT_TRUE(WaitUntil(
        [&] {
            std::vector<int16_t> s = monitor.Samples();
            return LongestSound(s, 1, 0, 48000).Frames() >= 4800;
        },
        10s));
    out.Reset();
    size_t resetAt = monitor.Frames();
    for (auto& h : p.headers) {
        EXPECT_TRUE(h->dwFlags & WHDR_DONE);
        EXPECT_FALSE(h->dwFlags & WHDR_INQUEUE);
        EXPECT_EQ(out.Unprepare(h.get()), 1u);
    }
    EXPECT_EQ(out.QueuedBytes(), 0u);

    // Three more seconds were queued; after the device's own short delay, none
    // of them is heard.
    ASSERT_TRUE(monitor.WaitForFrames(resetAt + 48000 * 3 / 2));
    std::vector<int16_t> heard = monitor.Samples();
    Tone after = MeasureTone(heard, 1, 0, 48000, resetAt + 48000 * 3 / 10, resetAt + 48000 * 3 / 2);
    EXPECT_LT(after.rms, 0.005);
}

TEST_F(AudioOutTest, VolumeIsAGainOnEachChannel) {
    Record(48000, 2);
    out.SetVolume(0xFFFF3FFF); // left a quarter, right full; kept while closed
    ASSERT_EQ(out.Open(studioOut, Pcm(48000, 2)), 1u);
    EXPECT_EQ(out.GetVolume(), 0xFFFF3FFFu);
    Pieces p(MakePcmTone(48000, 2, 1000.0, 0.5, 48000), {48000}, 2);
    ASSERT_EQ(out.Prepare(p.headers[0].get()), 1u);
    ASSERT_EQ(out.Write(p.headers[0].get()), 1u);
    ASSERT_TRUE(WaitUntil([&] { return (p.headers[0]->dwFlags & WHDR_DONE) != 0; }, 10s));
    std::this_thread::sleep_for(300ms);

    std::vector<int16_t> heard = monitor.Samples();
    SoundRun run = LongestSound(heard, 2, 1, 48000);
    ASSERT_GT(run.Frames(), 48000u * 8 / 10);
    Tone left = MeasureTone(heard, 2, 0, 48000, run.first + 2400, run.end - 2400);
    Tone right = MeasureTone(heard, 2, 1, 48000, run.first + 2400, run.end - 2400);
    EXPECT_NEAR(right.rms, 0.5 / std::sqrt(2.0), 0.05);
    EXPECT_NEAR(left.rms / right.rms, 0.25, 0.03);
    // Loose: a busy machine may cost the sink a few milliseconds of the run,
    // which moves a pitch counted over it.
    EXPECT_NEAR(left.frequency, 1000.0, 12.0);
}

TEST_F(AudioOutTest, CountsRunningDryWhilePlayingButNotIdling) {
    ASSERT_EQ(out.Open(studioOut, Pcm(48000, 2)), 1u);
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(out.Underruns(), 0u) << "no audio yet is no underrun";

    Pieces p(MakePcmTone(48000, 2, 1000.0, 0.5, 24000), {24000}, 2);
    ASSERT_EQ(out.Prepare(p.headers[0].get()), 1u);
    ASSERT_EQ(out.Write(p.headers[0].get()), 1u);
    EXPECT_LE(out.QueuedBytes(), 24000u * 4);
    EXPECT_GT(out.LatencyMs(), 400.0);
    EXPECT_LT(out.LatencyMs(), 500.0 + 1000.0 * out.DeviceBufferFrames() / 48000 + 1);
    ASSERT_TRUE(WaitUntil([&] { return (p.headers[0]->dwFlags & WHDR_DONE) != 0; }, 10s));
    EXPECT_EQ(out.QueuedBytes(), 0u);
    ASSERT_TRUE(WaitUntil([&] { return out.Underruns() == 1; }, 5s));
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(out.Underruns(), 1u) << "staying idle afterwards is not another one";
}

TEST_F(AudioOutTest, ALiveStartWaitsForItsTargetYetPlaysAShortLastPiece) {
    out.SetLive(true);
    ASSERT_EQ(out.Open(studioOut, Pcm(48000, 2)), 1u);
    // One AAC frame's worth, below the target: it waits for more, as the next
    // packet of a live stream comes within tens of milliseconds.
    Pieces p(MakePcmTone(48000, 2, 1000.0, 0.5, 1024), {1024}, 2);
    ASSERT_EQ(out.Prepare(p.headers[0].get()), 1u);
    const auto written = std::chrono::steady_clock::now();
    ASSERT_EQ(out.Write(p.headers[0].get()), 1u);
    std::this_thread::sleep_for(150ms);
    // Only a prompt look counts: a machine that slept far longer may rightly
    // have started.
    const bool prompt = std::chrono::steady_clock::now() - written < 220ms;
    const uint32_t queued = out.QueuedBytes();
    if (prompt) {
        EXPECT_EQ(queued, 1024u * 4) << "started below its target within 150 ms";
    }
    // Nothing more comes: what there is plays all the same.
    EXPECT_TRUE(WaitUntil([&] { return (p.headers[0]->dwFlags & WHDR_DONE) != 0; }, 10s));
}

} // namespace
