// The return audio's AAC encoder with the real libavcodec; what it makes is
// judged by the library's own decoder, given nothing but the ADTS frames.
#include "codec/CAudioEncoder.h"
#include "support/ToneMeasure.h"
#include "tools/media/AacTone.h"
#include "tools/media/CAacDecoder.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

using namespace media;
using namespace testing_support;

namespace {

class AudioEncoderTest : public ::testing::Test {
protected:
    void SetUp() override {
        capture = DefaultWaveFormat();
        ClearSessionContext(session);
        session.captureFormat = &capture;
    }

    void SetFormat(uint32_t rate, uint16_t channels) {
        capture.nSamplesPerSec = rate;
        capture.nChannels = channels;
        capture.nBlockAlign = static_cast<uint16_t>(channels * 2);
        capture.nAvgBytesPerSec = rate * capture.nBlockAlign;
    }

    // Encodes the tone frame by frame; the results of every call in calls.
    Bytes EncodeTone(CAudioEncoder& encoder, int frameSize, double seconds,
                     std::vector<int32_t>& calls) {
        const int channels = capture.nChannels;
        const size_t frames =
            static_cast<size_t>(seconds * capture.nSamplesPerSec) / frameSize * frameSize;
        std::vector<int16_t> pcm =
            MakePcmTone(static_cast<int>(capture.nSamplesPerSec), channels, 1000.0, 0.5, frames);
        Bytes stream;
        std::vector<uint8_t> out(65536);
        for (size_t at = 0; at < frames; at += frameSize) {
            int32_t n = encoder.Encode(out.data(), static_cast<int32_t>(out.size()),
                                       pcm.data() + at * channels);
            calls.push_back(n);
            if (n > 0)
                stream.insert(stream.end(), out.begin(), out.begin() + n);
        }
        return stream;
    }

    WAVEFORMATEX capture{};
    SessionContext session;
};

TEST_F(AudioEncoderTest, DefaultCaptureFormatTakes1024SamplesOf4096Bytes) {
    CAudioEncoder encoder;
    int32_t frameSize = encoder.Open(&session);
    ASSERT_EQ(frameSize, 1024);
    EXPECT_EQ(frameSize * capture.nBlockAlign, 4096);
    ASSERT_NE(encoder.context, nullptr);
    EXPECT_GT(encoder.context->bit_rate, 0) << "a bit rate of 0 leaves the choice to the library";
    encoder.Close();
}

// Every call's output is whole ADTS frames; the decoder finds them in the
// stream alone and hears the tone that went in.
void CheckRoundTrip(const Bytes& stream, const std::vector<int32_t>& calls, int rate,
                    int channels) {
    ASSERT_FALSE(calls.empty());
    EXPECT_GE(calls.front(), 0);
    for (int32_t n : calls)
        ASSERT_GE(n, 0);
    EXPECT_FALSE(CAdtsHeader::FrameLengths(stream.data(), stream.size()).empty());

    CAacDecoder decoder;
    std::vector<int16_t> samples;
    ASSERT_TRUE(decoder.Open());
    ASSERT_TRUE(decoder.DecodeStream(stream, samples));
    EXPECT_EQ(decoder.SampleRate(), rate);
    ASSERT_EQ(decoder.Channels(), channels);
    const size_t frames = samples.size() / channels;
    ASSERT_GT(frames, static_cast<size_t>(rate)); // most of the two seconds came back
    for (int c = 0; c < channels; ++c) {
        // Skip the encoder's start-up and the last frame.
        Tone tone = MeasureTone(samples, channels, c, rate, rate / 10, frames - 2048);
        EXPECT_NEAR(tone.frequency, 1000.0, 2.0) << "channel " << c;
        EXPECT_NEAR(tone.rms, 0.5 / std::sqrt(2.0), 0.04) << "channel " << c;
    }
}

TEST_F(AudioEncoderTest, ToneComesBackFromTheAdtsFramesAlone44100Stereo) {
    CAudioEncoder encoder;
    int32_t frameSize = encoder.Open(&session);
    ASSERT_EQ(frameSize, 1024);
    std::vector<int32_t> calls;
    Bytes stream = EncodeTone(encoder, frameSize, 2.0, calls);
    // Each call's output on its own is a run of whole ADTS frames.
    for (int32_t n : calls)
        EXPECT_TRUE(n == 0 || n > CAudioEncoder::kAdtsHeaderBytes);
    CheckRoundTrip(stream, calls, 44100, 2);
    encoder.Close();
}

TEST_F(AudioEncoderTest, ToneComesBackFromTheAdtsFramesAlone48000Mono) {
    SetFormat(48000, 1);
    CAudioEncoder encoder;
    int32_t frameSize = encoder.Open(&session);
    ASSERT_EQ(frameSize, 1024);
    std::vector<int32_t> calls;
    Bytes stream = EncodeTone(encoder, frameSize, 2.0, calls);
    CheckRoundTrip(stream, calls, 48000, 1);
    encoder.Close();
}

TEST_F(AudioEncoderTest, FirstFramesMayGiveNothingThenEveryFrameGivesOne) {
    CAudioEncoder encoder;
    ASSERT_EQ(encoder.Open(&session), 1024);
    std::vector<int16_t> pcm = MakePcmTone(44100, 2, 1000.0, 0.5, 1024 * 40);
    std::vector<uint8_t> out(8192);
    size_t silent = 0;
    for (int frame = 0; frame < 40; ++frame) {
        int32_t n = encoder.Encode(out.data(), static_cast<int32_t>(out.size()),
                                   pcm.data() + frame * 1024 * 2);
        if (n == 0 && silent == static_cast<size_t>(frame)) {
            ++silent;
            continue;
        }
        ASSERT_GT(n, 0) << "frame " << frame;
        // One frame in, one ADTS frame out, its header stating its length.
        std::vector<size_t> lengths = CAdtsHeader::FrameLengths(out.data(), static_cast<size_t>(n));
        ASSERT_EQ(lengths.size(), 1u) << "frame " << frame;
        // AAC LC, 44100 Hz (index 4), 2 channels.
        EXPECT_EQ(out[2] >> 6, 1);
        EXPECT_EQ((out[2] >> 2) & 0x0F, 4);
        EXPECT_EQ(((out[2] & 1) << 2) | (out[3] >> 6), 2);
    }
    EXPECT_LE(silent, 2u) << "the encoder's delay is a frame or two";
    encoder.Close();
}

TEST_F(AudioEncoderTest, NeverWritesPastTheRoomItIsGiven) {
    CAudioEncoder encoder;
    ASSERT_EQ(encoder.Open(&session), 1024);
    std::vector<int16_t> pcm = MakePcmTone(44100, 2, 1000.0, 0.5, 1024 * 8);
    std::vector<uint8_t> out(4096, 0xAB);
    bool refused = false;
    for (int frame = 0; frame < 8; ++frame) {
        // Room for the header and a few bytes only: a tone's frame never fits.
        int32_t n = encoder.Encode(out.data(), 16, pcm.data() + frame * 1024 * 2);
        EXPECT_LE(n, 16);
        if (n < 0)
            refused = true;
        for (size_t i = 16; i < out.size(); ++i)
            ASSERT_EQ(out[i], 0xAB) << "byte " << i;
    }
    EXPECT_TRUE(refused) << "a frame without room is an error, not a cut frame";

    // And with room again, it carries on.
    std::vector<uint8_t> room(8192);
    int32_t n = encoder.Encode(room.data(), static_cast<int32_t>(room.size()), pcm.data());
    EXPECT_GT(n, 0);
    EXPECT_EQ(CAdtsHeader::FrameLengths(room.data(), static_cast<size_t>(n)).size(), 1u);
    encoder.Close();
}

TEST_F(AudioEncoderTest, CloseWithoutOpenOrTwiceDoesNothingAndEncodeNeedsOpen) {
    CAudioEncoder encoder;
    encoder.Close();
    std::vector<int16_t> pcm(2048);
    std::vector<uint8_t> out(8192);
    EXPECT_LT(encoder.Encode(out.data(), 8192, pcm.data()), 0);
    ASSERT_EQ(encoder.Open(&session), 1024);
    encoder.Close();
    EXPECT_EQ(encoder.context, nullptr);
    encoder.Close();
    EXPECT_LT(encoder.Encode(out.data(), 8192, pcm.data()), 0);
    // Opens again after a close, as the next connection does.
    EXPECT_EQ(encoder.Open(&session), 1024);
}

TEST_F(AudioEncoderTest, RateTheEncoderCannotTakeFailsToOpen) {
    SetFormat(12345, 2);
    CAudioEncoder encoder;
    EXPECT_EQ(encoder.Open(&session), 0);
    SetFormat(44100, 0);
    EXPECT_EQ(encoder.Open(&session), 0);
    session.captureFormat = nullptr;
    EXPECT_EQ(encoder.Open(&session), 0);
}

} // namespace
