#include "core/SessionContext.h"

#include <gtest/gtest.h>

#include <string>

TEST(SessionContext, ClearSetsEveryFieldToZero) {
    SessionContext s;
    WAVEFORMATEX f = DefaultWaveFormat();
    s.connected = 1;
    s.port = 8088;
    SetSessionAddress(s, "10.0.0.1");
    s.videoWidth = 360;
    s.videoHeight = 288;
    s.playbackFormat = &f;
    s.captureFormat = &f;
    s.drawLeft = s.drawTop = 1;
    s.drawWidth = 360;
    s.fullScreen = 1;
    s.outputDevice = -1;
    s.audioSource = 2;
    SetSessionAudioSourceName(s, u"Studio_Mic");
    s.chunkSize = 20480;
    s.socket = 7;

    ClearSessionContext(s);
    EXPECT_EQ(s.connected, 0u);
    EXPECT_EQ(s.port, 0);
    EXPECT_EQ(std::string(s.address), "");
    EXPECT_EQ(s.videoWidth, 0);
    EXPECT_EQ(s.videoHeight, 0);
    EXPECT_EQ(s.playbackFormat, nullptr);
    EXPECT_EQ(s.captureFormat, nullptr);
    EXPECT_EQ(s.drawLeft, 0);
    EXPECT_EQ(s.drawWidth, 0);
    EXPECT_EQ(s.fullScreen, 0u);
    EXPECT_EQ(s.outputDevice, 0);
    EXPECT_EQ(s.audioSource, 0);
    EXPECT_EQ(s.audioSourceName[0], 0);
    EXPECT_EQ(s.chunkSize, 0);
    EXPECT_EQ(s.socket, 0);
    EXPECT_EQ(s.videoBitRate, 0);
    EXPECT_EQ(s.audioBitRate, 0);
    EXPECT_EQ(s.videoFrameRate, 0);
    EXPECT_EQ(s.videoKeyInterval, 0);
}

TEST(SessionContext, LongTextsAreCutInsideTheirFields) {
    SessionContext s;
    s.videoBitRate = 0x5A5A5A5A;     // the field after address
    s.grabber = reinterpret_cast<CAudioIn*>(0x1234); // the field after the name
    SetSessionAddress(s, std::string(400, '9'));
    SetSessionAudioSourceName(s, std::u16string(400, u'x'));
    EXPECT_EQ(std::string(s.address).size(), size_t(kSessionTextUnits - 1));
    EXPECT_EQ(std::u16string(s.audioSourceName).size(), size_t(kSessionTextUnits - 1));
    EXPECT_EQ(s.videoBitRate, 0x5A5A5A5A);
    EXPECT_EQ(s.grabber.load(), reinterpret_cast<CAudioIn*>(0x1234));

    SetSessionAddress(s, "127.0.0.1"); // a shorter text leaves nothing of the old one
    EXPECT_EQ(std::string(s.address), "127.0.0.1");
}

TEST(SessionContext, DefaultWaveFormatIsCdQualityPcm) {
    WAVEFORMATEX f = DefaultWaveFormat();
    EXPECT_EQ(+f.wFormatTag, 1);
    EXPECT_EQ(+f.nChannels, 2);
    EXPECT_EQ(+f.nSamplesPerSec, 44100u);
    EXPECT_EQ(+f.nAvgBytesPerSec, 176400u);
    EXPECT_EQ(+f.nBlockAlign, 4);
    EXPECT_EQ(+f.wBitsPerSample, 16);
    EXPECT_EQ(+f.cbSize, 0);
}
