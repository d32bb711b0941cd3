// The field unit simulator: its parsing parts on their own, and the fieldunit
// program run as a child process against a plain listener on 127.0.0.1.
#include "FieldListener.h"
#include "FieldMedia.h"
#include "codec/CAdtsHeader.h"
#include "support/TestClient.h"
#include "tools/fieldunit/COptions.h"
#include "tools/fieldunit/CReturnReceiver.h"
#include "tools/fieldunit/CToneGenerator.h"
#include "tools/media/CAacDecoder.h"
#include "tools/media/CAacEncoder.h"
#include "tools/media/CChildProcess.h"
#include "tools/tonecheck/CToneCheck.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <functional>
#include <thread>
#include <unistd.h>

using namespace std::chrono_literals;
using fieldmedia::NalTypes;

namespace {

std::string TempPath(const std::string& suffix) {
    char name[] = "/tmp/fieldunit-test.XXXXXX";
    int fd = mkstemp(name);
    if (fd >= 0)
        close(fd);
    unlink(name);
    return std::string(name) + suffix;
}

bool Contains(const std::vector<int>& v, int x) {
    return std::find(v.begin(), v.end(), x) != v.end();
}

struct Split {
    std::vector<FieldPacket> video, audio, other;
};

Split SplitPackets(const std::vector<FieldPacket>& packets) {
    Split s;
    for (auto& p : packets) {
        if (p.header.Type() == kPacketVideo)
            s.video.push_back(p);
        else if (p.header.Type() == kPacketAudio)
            s.audio.push_back(p);
        else
            s.other.push_back(p);
    }
    return s;
}

std::vector<std::vector<uint8_t>> Payloads(const std::vector<FieldPacket>& packets) {
    std::vector<std::vector<uint8_t>> out;
    for (auto& p : packets)
        out.push_back(p.payload);
    return out;
}

// Checks what a studio would check, and what it needs to join at a key frame.
void ExpectValidVideo(const std::vector<FieldPacket>& video, int width, int height) {
    ASSERT_FALSE(video.empty());
    EXPECT_TRUE(video.front().header.KeyFrame()) << "the stream must start with a key frame";
    for (auto& p : video) {
        EXPECT_EQ(p.header.Value1(), width);
        EXPECT_EQ(p.header.Value2(), height);
        EXPECT_EQ(p.header.PayloadLength(), p.payload.size());
        auto nals = NalTypes(p.payload);
        ASSERT_FALSE(nals.empty()) << "not Annex B";
        // Key frames carry their parameter sets in-band; other pictures are
        // no IDR.
        EXPECT_EQ(p.header.KeyFrame(), Contains(nals, 5));
        if (p.header.KeyFrame()) {
            EXPECT_TRUE(Contains(nals, 7)) << "SPS missing before a key frame";
            EXPECT_TRUE(Contains(nals, 8)) << "PPS missing before a key frame";
        }
    }
    auto decoded = fieldmedia::DecodeH264(Payloads(video));
    EXPECT_EQ(decoded.failures, 0);
    EXPECT_EQ(decoded.frames, int(video.size()));
    EXPECT_EQ(decoded.width, width);
    EXPECT_EQ(decoded.height, height);
}

void ExpectValidAudio(const std::vector<FieldPacket>& audio, int rate, int channels) {
    ASSERT_FALSE(audio.empty());
    for (auto& p : audio) {
        EXPECT_EQ(p.header.Value1(), rate);
        EXPECT_EQ(p.header.Value2(), channels);
        EXPECT_FALSE(p.header.KeyFrame());
        EXPECT_TRUE(CAdtsHeader::IsAdts(p.payload.data(), p.payload.size()));
        ASSERT_GE(p.payload.size(), 7u);
        EXPECT_EQ(p.payload[1] & 0x01, 1) << "CRC-less 7-byte ADTS header expected";
    }
    auto decoded = fieldmedia::DecodeAac(Payloads(audio));
    EXPECT_EQ(decoded.failures, 0);
    EXPECT_GE(decoded.frames, int(audio.size()) - 2);
    EXPECT_EQ(decoded.sampleRate, rate);
    EXPECT_EQ(decoded.channels, channels);
}

// The fieldunit program, its output kept for the failure messages.
bool Start(media::CChildProcess& unit, std::vector<std::string> args) {
    args.insert(args.begin(), FIELDUNIT_PATH);
    return unit.StartLogged(args);
}

std::string Address(const FieldListener& l) {
    return "127.0.0.1:" + std::to_string(l.Port());
}

// Sends return audio payloads as the studio does: 44100 Hz stereo headers.
bool SendReturn(FieldListener& studio, const std::vector<std::vector<uint8_t>>& payloads) {
    for (auto& p : payloads) {
        auto h = PacketHeader::Make(kReturnAudioMagic, kPacketAudio, false, uint32_t(p.size()),
                                    44100, 2);
        if (!studio.Send(h.bytes, sizeof h.bytes) || !studio.Send(p.data(), p.size()))
            return false;
    }
    return true;
}

} // namespace

// ---- Parts ---------------------------------------------------------------

TEST(FieldUnitOptions, ParsesAddressesAndValues) {
    COptions o;
    char* a1[] = {(char*)"fieldunit", (char*)"studio.example"};
    ASSERT_TRUE(o.Parse(2, a1));
    EXPECT_EQ(o.host, "studio.example");
    EXPECT_EQ(o.port, 8088);

    COptions p;
    char* a2[] = {(char*)"fieldunit", (char*)"[::1]:9000", (char*)"--size=640x360",
                  (char*)"--fps",     (char*)"25",         (char*)"--play-return=Studio_Out"};
    ASSERT_TRUE(p.Parse(6, a2)) << p.Error();
    EXPECT_EQ(p.host, "::1");
    EXPECT_EQ(p.port, 9000);
    EXPECT_EQ(p.width, 640);
    EXPECT_EQ(p.height, 360);
    EXPECT_EQ(p.fps, 25);
    EXPECT_TRUE(p.playReturn);
    EXPECT_EQ(p.playDevice, "Studio_Out");

    COptions f;
    const char* a3[] = {"fieldunit",         "h",   "--clock-ppm",    "-5000", "--ignore-return",
                        "--go-silent-after", "2.5", "--tone-marks=10"};
    ASSERT_TRUE(f.Parse(8, const_cast<char**>(a3))) << f.Error();
    EXPECT_EQ(f.clockPpm, -5000);
    EXPECT_TRUE(f.ignoreReturn);
    EXPECT_EQ(f.goSilentAfterSeconds, 2.5);
    EXPECT_EQ(f.toneMarkSeconds, 10);

    COptions s;
    const char* a4[] = {"fieldunit", "h", "--stall-every", "5", "--stall-ms=250", "--gop", "4"};
    ASSERT_TRUE(s.Parse(7, const_cast<char**>(a4))) << s.Error();
    EXPECT_EQ(s.stallEverySeconds, 5);
    EXPECT_EQ(s.stallMs, 250);
    EXPECT_EQ(s.stallCount, 0);
    EXPECT_EQ(s.gopSeconds, 4);
}

TEST(FieldUnitOptions, RefusesWhatCannotBeSent) {
    const std::vector<std::vector<std::string>> bad = {
        {},                             // no address
        {"h", "--size", "641x480"},     // odd width
        {"h", "--audio-rate", "96000"}, // too big for the header's 16 bits
        {"h", "--audio-rate", "44000"}, // not an AAC rate
        {"h", "--fps", "0"},
        {"h:70000"},
        {"h", "--loop"}, // loop without a file
        {"h", "--bogus"},
        {"h", "--duration"}, // value missing
        {"h", "other"},      // two addresses
        {"h", "--clock-ppm", "30000"},
        {"h", "--ignore-return", "--return-tone", "600"}, // nothing read to check
        {"h", "--file", "x.mp4", "--tone-marks", "5"},    // marks are the pattern's
        {"h", "--file", "x.mp4", "--black-after", "5"},   // so are its faults
        {"h", "--resume-after", "5"},                     // nothing to resume from
        {"h", "--mute-after", "5", "--resume-after", "5"},
        {"h", "--stall-ms", "250"},                        // stalls need their interval
        {"h", "--stall-every", "1", "--stall-ms", "1000"}, // and are shorter than it
        {"h", "--stall-every", "5", "--stall-ms", "250", "--unpaced"},
        {"h", "--gop", "0"},
    };
    for (auto& args : bad) {
        std::vector<char*> argv{(char*)"fieldunit"};
        for (auto& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        COptions o;
        EXPECT_FALSE(o.Parse(int(argv.size()), argv.data())) << args.size();
        EXPECT_FALSE(o.Error().empty());
    }
}

TEST(FieldUnitAdts, ReadsAudioSpecificConfigs) {
    CAdtsHeader h;
    const uint8_t lc44k2[] = {0x12, 0x10}; // AAC LC, 44100, stereo
    ASSERT_TRUE(h.FromAudioSpecificConfig(lc44k2, 2));
    EXPECT_EQ(h.objectType, 2);
    EXPECT_EQ(h.rateIndex, 4);
    EXPECT_EQ(h.channelConfig, 2);
    // HE-AAC, explicit: SBR (5), 24000 core (6), stereo, extension 48000 (3), LC core.
    const uint8_t he[] = {0x2B, 0x11, 0x88, 0x00};
    ASSERT_TRUE(h.FromAudioSpecificConfig(he, sizeof he));
    EXPECT_EQ(h.objectType, 2);
    EXPECT_EQ(h.rateIndex, 6);
    EXPECT_EQ(h.channelConfig, 2);
    const uint8_t cut[] = {0x12};
    EXPECT_FALSE(h.FromAudioSpecificConfig(cut, 1));
    EXPECT_FALSE(h.FromAudioSpecificConfig(nullptr, 0));
    const uint8_t pce[] = {0x12, 0x00}; // channels from a program config element
    EXPECT_FALSE(h.FromAudioSpecificConfig(pce, 2));
}

TEST(FieldUnitAdts, WrittenHeadersDecodeAndFramesSplit) {
    // A frame of the real encoder, framed by our header, must decode.
    auto studio = fieldmedia::ReturnAudio(48000, 1, 1000, 1, 1);
    ASSERT_EQ(studio.size(), 1u);
    size_t len = CAdtsHeader::FrameLength(studio[0].data(), studio[0].size());
    ASSERT_EQ(len, studio[0].size());
    std::vector<uint8_t> raw(studio[0].begin() + 7, studio[0].end());
    CAdtsHeader h;
    ASSERT_TRUE(h.FromParameters(48000, 1));
    std::vector<uint8_t> framed(7 + raw.size());
    ASSERT_TRUE(h.Write(framed.data(), raw.size()));
    std::copy(raw.begin(), raw.end(), framed.begin() + 7);
    EXPECT_EQ(framed, studio[0]) << "header differs from libavformat's ADTS muxer";
    EXPECT_EQ(fieldmedia::DecodeAac({framed}).failures, 0);

    std::vector<uint8_t> big(9000);
    EXPECT_FALSE(h.Write(big.data(), big.size())) << "13-bit length overflow";
    // A length field pointing past the data is not a frame.
    EXPECT_FALSE(CAdtsHeader::IsAdts(framed.data(), framed.size() - 1));
    EXPECT_FALSE(CAdtsHeader::IsAdts(framed.data() + 1, framed.size() - 1));
}

TEST(FieldUnitReturnHeader, AcceptsTheStudiosFormOnly) {
    auto good = PacketHeader::Make(kReturnAudioMagic, kPacketAudio, false, 1000, 44100, 2);
    EXPECT_EQ(CReturnReceiver::CheckHeader(good.bytes), "");
    auto fieldMagic = PacketHeader::Make(kFieldUnitMagic, kPacketAudio, false, 1000, 44100, 2);
    EXPECT_NE(CReturnReceiver::CheckHeader(fieldMagic.bytes), "");
    auto video = PacketHeader::Make(kReturnAudioMagic, kPacketVideo, false, 1000, 44100, 2);
    EXPECT_NE(CReturnReceiver::CheckHeader(video.bytes), "");
    auto rate = PacketHeader::Make(kReturnAudioMagic, kPacketAudio, false, 1000, 44000, 2);
    EXPECT_NE(CReturnReceiver::CheckHeader(rate.bytes), "");
    auto noChannels = PacketHeader::Make(kReturnAudioMagic, kPacketAudio, false, 1000, 44100, 0);
    EXPECT_NE(CReturnReceiver::CheckHeader(noChannels.bytes), "");
    auto huge = PacketHeader::Make(kReturnAudioMagic, kPacketAudio, false, 0xFFFFFF, 44100, 2);
    EXPECT_NE(CReturnReceiver::CheckHeader(huge.bytes), "");
}

// ---- The tone check ----------------------------------------------------------

namespace {

// Frames first ... first + count - 1 of a sine at a quarter of full scale,
// every channel alike; gain shapes it over time (seconds from frame 0).
std::vector<int16_t> Sine(int rate, int channels, double frequency, int64_t first, int64_t count,
                          const std::function<double(double)>& gain = nullptr) {
    std::vector<int16_t> out;
    for (int64_t n = first; n < first + count; ++n) {
        const double t = double(n) / rate;
        const double v = 0.25 * (gain ? gain(t) : 1.0) * std::sin(2 * M_PI * frequency * t);
        out.insert(out.end(), size_t(channels), int16_t(std::lround(v * 32767)));
    }
    return out;
}

std::vector<int16_t> Joined(std::vector<int16_t> a, const std::vector<int16_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Fed in uneven pieces that split frames, as a socket or a recorder gives them.
void FeedUnevenly(CToneCheck& check, const std::vector<int16_t>& samples) {
    for (size_t at = 0; at < samples.size();) {
        size_t n = std::min(samples.size() - at, size_t(777 + at % 1001));
        check.Feed(samples.data() + at, n);
        at += n;
    }
}

std::string Describe(const CToneCheck& c) {
    std::string text = std::to_string(c.Gaps()) + " gaps, " + std::to_string(c.Discontinuities()) +
                       " discontinuities in " + std::to_string(c.SecondsAnalysed()) + " s:";
    for (auto& e : c.FirstEvents())
        text += std::string(e.gap ? " gap" : " click") + " at " + std::to_string(e.at);
    return text;
}

} // namespace

TEST(FieldUnitToneCheck, CountsGapsAndClicksButNotDriftOrFades) {
    {
        CToneCheck clean(44100, 2, 1000);
        FeedUnevenly(clean, Sine(44100, 2, 1000, 0, 2 * 44100));
        EXPECT_EQ(clean.Gaps() + clean.Discontinuities(), 0) << Describe(clean);
        EXPECT_NEAR(clean.SecondsAnalysed(), 2.0, 0.1);
        EXPECT_NEAR(clean.Frequency(), 1000, 1);
    }
    {
        // 10 ms dropped: 4.4 cycles of 440 Hz, so the phase breaks.
        CToneCheck dropped(48000, 1, 440);
        FeedUnevenly(dropped, Joined(Sine(48000, 1, 440, 0, 48000),
                                     Sine(48000, 1, 440, 48000 + 480, 48000)));
        EXPECT_EQ(dropped.Discontinuities(), 1) << Describe(dropped);
        EXPECT_EQ(dropped.Gaps(), 0) << Describe(dropped);
        ASSERT_FALSE(dropped.FirstEvents().empty());
        EXPECT_NEAR(dropped.FirstEvents()[0].at, 1.0, 0.005);
    }
    {
        // 20 ms of silence, cut hard: one gap, its clicking edges part of it.
        CToneCheck silenced(44100, 2, 1000);
        FeedUnevenly(silenced, Sine(44100, 2, 1000, 0, 2 * 44100,
                                    [](double t) { return t >= 1.0 && t < 1.02 ? 0.0 : 1.0; }));
        EXPECT_EQ(silenced.Gaps(), 1) << Describe(silenced);
        EXPECT_EQ(silenced.Discontinuities(), 0) << Describe(silenced);
        ASSERT_FALSE(silenced.FirstEvents().empty());
        EXPECT_NEAR(silenced.FirstEvents()[0].at, 1.0, 0.005);
        EXPECT_NEAR(silenced.FirstEvents()[0].silence, 0.02, 0.003);
    }
    for (double pitch : {1005.0, 995.0}) {
        // A resampler following a 0.5 % clock drift.
        CToneCheck drifted(44100, 2, 1000);
        FeedUnevenly(drifted, Sine(44100, 2, pitch, 0, 2 * 44100));
        EXPECT_EQ(drifted.Gaps() + drifted.Discontinuities(), 0) << pitch << Describe(drifted);
    }
    {
        // Faded out and in again over 10 ms each: smooth, no click.
        CToneCheck faded(44100, 2, 1000);
        FeedUnevenly(faded, Sine(44100, 2, 1000, 0, 2 * 44100, [](double t) {
                         return std::min(1.0, std::fabs(t - 1.01) / 0.01);
                     }));
        EXPECT_EQ(faded.Discontinuities(), 0) << Describe(faded);
        // Faded into 20 ms of silence and out of it: a gap all the same.
        CToneCheck fadedGap(44100, 2, 1000);
        FeedUnevenly(fadedGap, Sine(44100, 2, 1000, 0, 2 * 44100, [](double t) {
                         return std::clamp(std::max(1.0 - t, t - 1.03) / 0.01, 0.0, 1.0);
                     }));
        EXPECT_EQ(fadedGap.Gaps(), 1) << Describe(fadedGap);
        EXPECT_EQ(fadedGap.Discontinuities(), 0) << Describe(fadedGap);
    }
}

TEST(FieldUnitToneCheck, HearsTheRealCodecAndTheTimingMarks) {
    // The field unit's own tone with a mark every second, through the real
    // AAC encoder and decoder; then again with one decoded frame's samples
    // dropped; then with one coded frame lost, which the decoder smooths over
    // (no click, and no mark either).
    for (int lost : {-1, 100, -100}) {
        CToneGenerator tone;
        ASSERT_TRUE(tone.Open(44100, 2));
        tone.SetMarks(1.0);
        media::CAacEncoder encoder;
        std::string error;
        ASSERT_TRUE(encoder.Open(44100, 2, error)) << error;
        media::CAacDecoder decoder;
        ASSERT_TRUE(decoder.Open(44100, 2));
        CToneCheck check(44100, 2, CToneGenerator::kFrequency);
        std::vector<media::CMediaPacket> coded;
        std::vector<int16_t> pcm;
        int frames = 0;
        while (tone.SamplesMade() < 5 * 44100) {
            coded.clear();
            ASSERT_TRUE(encoder.Push(tone.Next(1024), 0, coded));
            for (auto& p : coded) {
                pcm.clear();
                if (frames != -lost)
                    decoder.Decode(p.data.data(), p.data.size(), pcm);
                if (frames++ != lost)
                    check.Feed(pcm.data(), pcm.size());
            }
        }
        EXPECT_EQ(check.Gaps(), 0) << Describe(check);
        EXPECT_EQ(check.Discontinuities(), lost == 100 ? 1 : 0) << Describe(check);
        // Marks at 1, 2, 3 and 4 s, late by the codec's delay; the samples
        // dropped at 2.32 s bring the later ones 1024 samples sooner.
        const auto& marks = check.Marks();
        ASSERT_EQ(marks.size(), 4u) << Describe(check);
        for (size_t i = 1; i < marks.size(); ++i) {
            double expected = lost != -1 && i == 2 ? 1.0 - 1024.0 / 44100 : 1.0;
            EXPECT_NEAR(marks[i] - marks[i - 1], expected, 0.002) << i;
        }
    }
}

// ---- The program: test pattern --------------------------------------------

TEST(FieldUnitPattern, StreamsValidPacketsInRealTime) {
    FieldListener studio;
    media::CChildProcess unit;
    ASSERT_TRUE(
        Start(unit, {Address(studio), "--size", "640x360", "--fps", "25", "--duration", "2.5",
                     "--audio-rate", "44100", "--audio-channels", "1", "--slices", "4"}));
    ASSERT_TRUE(studio.Accept(20s));
    auto start = std::chrono::steady_clock::now();
    studio.StartReading();
    ASSERT_TRUE(studio.WaitForEnd(60s));
    EXPECT_EQ(unit.Wait(30s), 0) << unit.Output();
    EXPECT_EQ(studio.Problem(), "");

    auto s = SplitPackets(studio.Packets());
    EXPECT_TRUE(s.other.empty());
    // 2.5 s at 25 fps, key frames every 2 s: pictures 0 and 50.
    EXPECT_EQ(s.video.size(), 63u);
    ExpectValidVideo(s.video, 640, 360);
    int keys = int(
        std::count_if(s.video.begin(), s.video.end(), [](auto& p) { return p.header.KeyFrame(); }));
    EXPECT_EQ(keys, 2);
    EXPECT_TRUE(s.video[50].header.KeyFrame());
    // Several slices to a picture.
    auto nals = NalTypes(s.video[1].payload);
    EXPECT_EQ(std::count(nals.begin(), nals.end(), 1), 4);

    // 2.5 s of 1024-sample frames at 44100 Hz.
    EXPECT_NEAR(double(s.audio.size()), 2.5 * 44100 / 1024, 3);
    ExpectValidAudio(s.audio, 44100, 1);

    // Paced: the last packet cannot arrive before its media time.
    auto span = std::chrono::duration<double>(studio.Packets().back().arrival - start).count();
    EXPECT_GT(span, 2.2);
    EXPECT_NE(unit.Output().find("fps"), std::string::npos) << "status line missing";
}

TEST(FieldUnitPattern, UnpacedFloodsFasterThanRealTime) {
    FieldListener studio;
    media::CChildProcess unit;
    ASSERT_TRUE(Start(unit, {Address(studio), "--size", "160x120", "--fps", "10", "--duration",
                             "120", "--unpaced", "--quiet"}));
    ASSERT_TRUE(studio.Accept(20s));
    auto start = std::chrono::steady_clock::now();
    studio.StartReading();
    // Two minutes of media; even a loaded machine sends it far sooner.
    ASSERT_TRUE(studio.WaitForEnd(60s));
    auto took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(unit.Wait(30s), 0) << unit.Output();
    EXPECT_LT(took, 60.0);
    auto s = SplitPackets(studio.Packets());
    EXPECT_EQ(s.video.size(), 1200u);
    ExpectValidVideo(s.video, 160, 120);
    EXPECT_EQ(unit.Output(), "") << "--quiet prints nothing on success";
}

// ---- The program: return audio ---------------------------------------------

TEST(FieldUnitReturn, WritesTheStudiosToneToWav) {
    FieldListener studio;
    media::CChildProcess unit;
    const std::string wavPath = TempPath(".wav");
    ASSERT_TRUE(Start(unit, {Address(studio), "--size", "160x120", "--fps", "10", "--duration", "4",
                             "--return-audio", wavPath}));
    ASSERT_TRUE(studio.Accept(20s));
    studio.StartReading();
    auto payloads = fieldmedia::ReturnAudio(44100, 2, 1000, 20);
    ASSERT_EQ(payloads.size(), 20u);
    ASSERT_TRUE(SendReturn(studio, payloads));
    ASSERT_TRUE(studio.WaitForEnd(60s));
    studio.CloseConnection();
    EXPECT_EQ(unit.Wait(30s), 0) << unit.Output();
    EXPECT_NE(unit.Output().find("dBFS"), std::string::npos) << unit.Output();

    auto wav = fieldmedia::ReadWav(wavPath);
    ASSERT_TRUE(wav.ok) << wav.problem;
    EXPECT_EQ(wav.sampleRate, 44100);
    EXPECT_EQ(wav.channels, 2);
    // 100 frames of 1024 samples, give or take the decoder's start.
    EXPECT_NEAR(double(wav.samples.size()) / 2, 100 * 1024, 2 * 1024);
    EXPECT_GT(fieldmedia::ToneShare(wav.samples, 2, 44100, 1000), 0.8);
    EXPECT_LT(fieldmedia::ToneShare(wav.samples, 2, 44100, 3000), 0.05);
    unlink(wavPath.c_str());
}

namespace {

// Sends one good return packet, then bad bytes; fieldunit must end with 6.
int RunWithBadReturn(const std::vector<uint8_t>& bad, std::string& output) {
    FieldListener studio;
    media::CChildProcess unit;
    if (!Start(unit, {Address(studio), "--size", "160x120", "--fps", "10", "--duration", "60"}))
        return -2;
    if (!studio.Accept(20s))
        return -3;
    studio.StartReading();
    auto payloads = fieldmedia::ReturnAudio(44100, 2, 1000, 1);
    auto h = PacketHeader::Make(kReturnAudioMagic, kPacketAudio, false,
                                uint32_t(payloads[0].size()), 44100, 2);
    studio.Send(h.bytes, sizeof h.bytes);
    studio.Send(payloads[0].data(), payloads[0].size());
    studio.Send(bad.data(), bad.size());
    int code = unit.Wait(30s);
    output = unit.Output();
    return code;
}

std::vector<uint8_t> Bytes(const PacketHeader& h, const std::vector<uint8_t>& payload = {}) {
    std::vector<uint8_t> b(h.bytes, h.bytes + sizeof h.bytes);
    b.insert(b.end(), payload.begin(), payload.end());
    return b;
}

} // namespace

TEST(FieldUnitReturn, BadReturnPacketsEndWithCodeSix) {
    std::string out;
    // The field unit's own magic, as if the studio echoed a packet.
    EXPECT_EQ(
        RunWithBadReturn(
            Bytes(PacketHeader::Make(kFieldUnitMagic, kPacketAudio, false, 0, 44100, 2)), out),
        6);
    EXPECT_NE(out.find("FF 88 00"), std::string::npos) << out;
    // A video type on the return path.
    EXPECT_EQ(
        RunWithBadReturn(
            Bytes(PacketHeader::Make(kReturnAudioMagic, kPacketVideo, false, 0, 44100, 2)), out),
        6)
        << out;
    // A payload that is not ADTS frames.
    EXPECT_EQ(RunWithBadReturn(
                  Bytes(PacketHeader::Make(kReturnAudioMagic, kPacketAudio, false, 64, 44100, 2),
                        std::vector<uint8_t>(64, 0x55)),
                  out),
              6)
        << out;
    // A length far beyond any return packet: refused before anything is
    // allocated or read.
    EXPECT_EQ(RunWithBadReturn(Bytes(PacketHeader::Make(kReturnAudioMagic, kPacketAudio, false,
                                                        0xFFFFFF, 44100, 2)),
                               out),
              6)
        << out;
    // The format changes mid-stream.
    auto other = fieldmedia::ReturnAudio(48000, 1, 1000, 1);
    EXPECT_EQ(RunWithBadReturn(Bytes(PacketHeader::Make(kReturnAudioMagic, kPacketAudio, false,
                                                        uint32_t(other[0].size()), 48000, 1),
                                     other[0]),
                               out),
              6)
        << out;
}

TEST(FieldUnitReturn, StudioClosingMidStreamEndsWithCodeFive) {
    FieldListener studio;
    media::CChildProcess unit;
    ASSERT_TRUE(
        Start(unit, {Address(studio), "--size", "160x120", "--fps", "10", "--duration", "60"}));
    ASSERT_TRUE(studio.Accept(20s));
    studio.StartReading();
    ASSERT_TRUE(studio.WaitForPackets(5, 20s));
    studio.CloseConnection();
    EXPECT_EQ(unit.Wait(30s), 5) << unit.Output();
}

TEST(FieldUnitReturn, SigtermStopsCleanlyAndFinishesTheWav) {
    FieldListener studio;
    media::CChildProcess unit;
    const std::string wavPath = TempPath(".wav");
    ASSERT_TRUE(Start(
        unit, {Address(studio), "--size", "160x120", "--fps", "10", "--return-audio", wavPath}));
    ASSERT_TRUE(studio.Accept(20s));
    studio.StartReading();
    SendReturn(studio, fieldmedia::ReturnAudio(44100, 2, 1000, 5));
    ASSERT_TRUE(unit.WaitForOutput("return audio: AAC 44100 Hz", 20s)) << unit.Output();
    ASSERT_TRUE(studio.WaitForPackets(10, 20s));
    unit.Signal(SIGTERM);
    EXPECT_EQ(unit.Wait(30s), 0) << unit.Output();
    EXPECT_TRUE(studio.WaitForEnd(10s)) << "the connection was not closed";
    auto wav = fieldmedia::ReadWav(wavPath);
    ASSERT_TRUE(wav.ok) << wav.problem;
    EXPECT_GT(wav.samples.size(), 0u);
    unlink(wavPath.c_str());
}

// ---- The program: link faults ------------------------------------------------

TEST(FieldUnitFaults, PacesByAClockThatRunsFast) {
    // 2 % fast: 8 s of media in 7.84 s. Timed by the earliest arrivals in the
    // first and the last second, as a busy machine only ever delays them.
    FieldListener studio;
    media::CChildProcess unit;
    ASSERT_TRUE(Start(unit, {Address(studio), "--size", "160x120", "--fps", "10", "--duration", "8",
                             "--audio-rate", "44100", "--clock-ppm", "20000"}));
    ASSERT_TRUE(studio.Accept(20s));
    studio.StartReading();
    ASSERT_TRUE(studio.WaitForEnd(60s));
    EXPECT_EQ(unit.Wait(30s), 0) << unit.Output();
    auto packets = studio.Packets();
    ASSERT_FALSE(packets.empty());
    std::vector<std::pair<double, double>> timed; // media time, arrival
    int video = 0, audio = 0;
    for (auto& p : packets) {
        // The encoder's first two frames both start at 0: one is its priming.
        double media = p.header.Type() == kPacketVideo ? video++ / 10.0
                                                       : std::max(audio++ - 1, 0) * 1024 / 44100.0;
        timed.emplace_back(media,
                           std::chrono::duration<double>(p.arrival - packets[0].arrival).count());
    }
    // The earliest a packet came against its media time at pace, in the
    // first second or in the last.
    auto earliest = [&](double pace, bool last) {
        double e = 1e9;
        for (auto& [media, real] : timed)
            if (last ? media >= 7 : media < 1)
                e = std::min(e, real - media / pace);
        return e;
    };
    EXPECT_GT(earliest(1.02, true), earliest(1.02, false) - 0.02) << "faster than its clock";
    EXPECT_LT(earliest(1.0, true), earliest(1.0, false) - 0.07) << "not ahead of real time";
}

TEST(FieldUnitFaults, StallsHoldEverythingThenSendTheBacklogAtOnce) {
    // Two stalls of 500 ms, 1.5 s apart; 4 s of media all the same.
    FieldListener studio;
    media::CChildProcess unit;
    ASSERT_TRUE(Start(unit, {Address(studio), "--size", "160x120", "--fps", "10", "--duration", "4",
                             "--stall-every", "1.5", "--stall-ms", "500", "--stall-count", "2"}));
    ASSERT_TRUE(studio.Accept(20s));
    studio.StartReading();
    ASSERT_TRUE(studio.WaitForEnd(60s));
    EXPECT_EQ(unit.Wait(30s), 0) << unit.Output();
    auto packets = studio.Packets();
    ASSERT_GT(packets.size(), 100u);
    auto seconds = [&](size_t i) {
        return std::chrono::duration<double>(packets[i].arrival - packets[0].arrival).count();
    };
    std::vector<size_t> afterStalls;
    for (size_t i = 1; i < packets.size(); ++i)
        if (seconds(i) - seconds(i - 1) > 0.35)
            afterStalls.push_back(i);
    ASSERT_EQ(afterStalls.size(), 2u);
    for (size_t i : afterStalls) {
        // Half a second of sound and pictures, together.
        size_t burst = 0;
        while (i + burst < packets.size() && seconds(i + burst) - seconds(i) < 0.05)
            ++burst;
        EXPECT_GE(burst, 25u);
    }
    // The stream's clock ran on: the end came when the media's did.
    EXPECT_LT(seconds(packets.size() - 1), 4.3);
}

TEST(FieldUnitFaults, GoesSilentButStaysConnectedAndChecksTheReturnTone) {
    FieldListener studio;
    media::CChildProcess unit;
    ASSERT_TRUE(
        Start(unit, {Address(studio), "--size", "160x120", "--fps", "10", "--duration", "5",
                     "--audio-rate", "44100", "--go-silent-after", "1", "--return-tone", "1000"}));
    ASSERT_TRUE(studio.Accept(20s));
    studio.StartReading();
    ASSERT_TRUE(unit.WaitForOutput("going silent", 30s)) << unit.Output();
    // Still reading while silent: the tone sent now is checked.
    ASSERT_TRUE(SendReturn(studio, fieldmedia::ReturnAudio(44100, 2, 1000, 20)));
    ASSERT_TRUE(studio.WaitForEnd(60s));
    studio.CloseConnection();
    EXPECT_EQ(unit.Wait(30s), 0) << unit.Output();
    auto s = SplitPackets(studio.Packets());
    EXPECT_NEAR(double(s.video.size()), 10, 1);
    EXPECT_NEAR(double(s.audio.size()), 44100 / 1024.0, 2);
    const std::string out = unit.Output();
    EXPECT_NE(out.find("return tone: 20 packets received"), std::string::npos) << out;
    EXPECT_NE(out.find("0 gaps, 0 discontinuities"), std::string::npos) << out;
}

TEST(FieldUnitFaults, IgnoresTheReturnAndStreamsOn) {
    FieldListener studio;
    media::CChildProcess unit;
    ASSERT_TRUE(Start(unit, {Address(studio), "--size", "160x120", "--fps", "10", "--duration", "3",
                             "--ignore-return"}));
    ASSERT_TRUE(studio.Accept(20s));
    studio.StartReading();
    // Bytes that are no return audio at all: a field unit that read them
    // would end with code 6. Sending stalls once the buffers are full.
    constexpr size_t kOffered = 8 << 20;
    std::atomic<size_t> sent{0};
    std::thread flood([&] {
        std::vector<uint8_t> junk(64 * 1024, 0x55);
        while (sent < kOffered && studio.Send(junk.data(), junk.size()))
            sent += junk.size();
    });
    ASSERT_TRUE(studio.WaitForEnd(60s));
    EXPECT_EQ(unit.Wait(30s), 0) << unit.Output();
    // Its end reset the connection, with our bytes unread; that ends the flood.
    flood.join();
    studio.CloseConnection();
    EXPECT_LT(sent.load(), kOffered) << "the return was read";
    EXPECT_GE(SplitPackets(studio.Packets()).video.size(), 29u);
}

// ---- The program: files ------------------------------------------------------

struct FileCase {
    const char* name;
    const char* container;
    const char* video;
    const char* audio;
    const char* suffix;
};

class FieldUnitFile : public ::testing::TestWithParam<FileCase> {};

TEST_P(FieldUnitFile, StreamsEveryContainer) {
    const FileCase& c = GetParam();
    const std::string path = TempPath(c.suffix);
    std::string error;
    ASSERT_TRUE(
        fieldmedia::MakeMediaFile(path, c.container, c.video, c.audio, 2.0, 176, 144, error))
        << error;
    FieldListener studio;
    media::CChildProcess unit;
    ASSERT_TRUE(Start(unit, {Address(studio), "--file", path, "--unpaced"}));
    ASSERT_TRUE(studio.Accept(20s));
    studio.StartReading();
    ASSERT_TRUE(studio.WaitForEnd(60s));
    EXPECT_EQ(unit.Wait(30s), 0) << unit.Output();
    auto s = SplitPackets(studio.Packets());
    EXPECT_NEAR(double(s.video.size()), 50, 2) << unit.Output();
    ExpectValidVideo(s.video, 176, 144);
    EXPECT_NEAR(double(s.audio.size()), 2.0 * 44100 / 1024, 4) << unit.Output();
    ExpectValidAudio(s.audio, 44100, 2);
    unlink(path.c_str());
}

INSTANTIATE_TEST_SUITE_P(
    Containers, FieldUnitFile,
    ::testing::Values(FileCase{"Mp4H264Aac", "mp4", "libx264", "aac", ".mp4"},
                      FileCase{"MkvH264Aac", "matroska", "libx264", "aac", ".mkv"},
                      FileCase{"TsH264Aac", "mpegts", "libx264", "aac", ".ts"},
                      FileCase{"FlvH264Aac", "flv", "libx264", "aac", ".flv"},
                      FileCase{"MkvMpeg4Flac", "matroska", "mpeg4", "flac", ".mkv"},
                      FileCase{"AviMpeg4Mp3", "avi", "mpeg4", "libmp3lame", ".avi"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FieldUnitFileLoop, LoopsUntilTheDuration) {
    const std::string path = TempPath(".mp4");
    std::string error;
    ASSERT_TRUE(fieldmedia::MakeMediaFile(path, "mp4", "libx264", "aac", 1.0, 176, 144, error))
        << error;
    FieldListener studio;
    media::CChildProcess unit;
    ASSERT_TRUE(
        Start(unit, {Address(studio), "--file", path, "--loop", "--duration", "3.5", "--unpaced"}));
    ASSERT_TRUE(studio.Accept(20s));
    studio.StartReading();
    ASSERT_TRUE(studio.WaitForEnd(60s));
    EXPECT_EQ(unit.Wait(30s), 0) << unit.Output();
    auto s = SplitPackets(studio.Packets());
    // Three and a half passes of 25 pictures.
    EXPECT_NEAR(double(s.video.size()), 87, 3);
    ExpectValidVideo(s.video, 176, 144);
    unlink(path.c_str());
}

// ---- The program: errors and help ------------------------------------------

TEST(FieldUnitErrors, ExitCodesForScripts) {
    {
        // Nobody listens: retried, then given up with 4.
        const std::string address = "127.0.0.1:" + std::to_string(testing_support::FreePort());
        media::CChildProcess unit;
        ASSERT_TRUE(Start(unit, {address, "--connect-timeout", "1", "--size", "160x120"}));
        EXPECT_EQ(unit.Wait(30s), 4) << unit.Output();
        EXPECT_NE(unit.Output().find("studio not listening yet, retrying..."), std::string::npos)
            << unit.Output();
    }
    {
        media::CChildProcess unit;
        ASSERT_TRUE(Start(unit, {"127.0.0.1:1", "--file", "/nonexistent/clip.mp4"}));
        EXPECT_EQ(unit.Wait(30s), 3) << unit.Output();
    }
    {
        const std::string path = TempPath(".mp4");
        std::FILE* f = std::fopen(path.c_str(), "wb");
        std::fputs("this is no media file at all, just words", f);
        std::fclose(f);
        media::CChildProcess unit;
        ASSERT_TRUE(Start(unit, {"127.0.0.1:1", "--file", path}));
        EXPECT_EQ(unit.Wait(30s), 3) << unit.Output();
        unlink(path.c_str());
    }
    {
        media::CChildProcess unit;
        ASSERT_TRUE(Start(unit, {"127.0.0.1", "--no-such-option"}));
        EXPECT_EQ(unit.Wait(30s), 2) << unit.Output();
    }
    {
        media::CChildProcess unit;
        ASSERT_TRUE(Start(unit, {"127.0.0.1", "--size", "huge"}));
        EXPECT_EQ(unit.Wait(30s), 2) << unit.Output();
    }
}

TEST(FieldUnitErrors, HelpExplainsEveryOption) {
    media::CChildProcess unit;
    ASSERT_TRUE(Start(unit, {"--help"}));
    EXPECT_EQ(unit.Wait(30s), 0);
    std::string help = unit.Output();
    for (const char* option : {"HOST[:PORT]",
                               "8088",
                               "--file",
                               "--size",
                               "--fps",
                               "--bitrate",
                               "--audio-rate",
                               "--audio-channels",
                               "--duration",
                               "--loop",
                               "--unpaced",
                               "--slices",
                               "--return-audio",
                               "--play-return",
                               "--quiet",
                               "--connect-timeout",
                               "--clock-ppm",
                               "--return-tone",
                               "--go-silent-after",
                               "--ignore-return",
                               "--tone-marks",
                               "--stall-every",
                               "--stall-ms",
                               "--gop",
                               "--black-after",
                               "--freeze-after",
                               "--mute-after",
                               "--resume-after",
                               "--help",
                               "Exit codes"})
        EXPECT_NE(help.find(option), std::string::npos) << option;
    for (const char* code : {"  0 ", "  2 ", "  3 ", "  4 ", "  5 ", "  6 "})
        EXPECT_NE(help.find(code), std::string::npos) << code;
}

// ---- The program: a studio busy with another field unit ---------------------

TEST(FieldUnitQueue, SaysSoWhileQueuedAndGoesOnWhenServed) {
    FieldListener studio; // listening, but not accepting yet
    media::CChildProcess unit;
    ASSERT_TRUE(Start(unit, {Address(studio), "--size", "320x240", "--fps", "30", "--bitrate",
                             "4000", "--unpaced", "--duration", "600"}));
    EXPECT_TRUE(unit.WaitForOutput("waiting for the studio to serve us", 60s)) << unit.Output();
    ASSERT_TRUE(studio.Accept(20s));
    studio.StartReading();
    EXPECT_TRUE(unit.WaitForOutput("the studio is serving us now", 60s)) << unit.Output();
    auto s = SplitPackets(studio.Packets());
    unit.Signal(SIGINT);
    EXPECT_EQ(unit.Wait(30s), 0) << unit.Output();
    // What waited in the queue starts at the beginning, with a key frame.
    ASSERT_FALSE(s.video.empty());
    EXPECT_TRUE(s.video.front().header.KeyFrame());
}

// ---- The program: playing the return audio -----------------------------------

namespace {

// Streams for a while with return audio coming in, playing it on device.
int RunPlaying(const std::string& device, std::string& output) {
    FieldListener studio;
    media::CChildProcess unit;
    if (!Start(unit, {Address(studio), "--size", "160x120", "--fps", "10", "--duration", "2",
                      "--play-return=" + device}))
        return -2;
    if (!studio.Accept(20s))
        return -3;
    studio.StartReading();
    SendReturn(studio, fieldmedia::ReturnAudio(44100, 2, 1000, 10));
    studio.WaitForEnd(60s);
    studio.CloseConnection();
    int code = unit.Wait(30s);
    output = unit.Output();
    return code;
}

} // namespace

TEST(FieldUnitPlayback, PlaysOnANamedDeviceAndCarriesOnWithoutOne) {
    std::string out;
    EXPECT_EQ(RunPlaying("Studio_Out", out), 0) << out;
    EXPECT_NE(out.find("return audio: AAC 44100 Hz"), std::string::npos) << out;
    EXPECT_EQ(out.find("not played"), std::string::npos) << out;

    EXPECT_EQ(RunPlaying("No Such Device", out), 0) << out;
    EXPECT_NE(out.find("no audio output named \"No Such Device\""), std::string::npos) << out;
}
