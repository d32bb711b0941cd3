#include "core/SessionContext.h"

#include <gtest/gtest.h>

#include <string>

TEST(SessionContext, LongTextsAreCutInsideTheirFields) {
    SessionContext s;
    s.videoBitRate = 0x5A5A5A5A;     // the field after address
    s.idleTimeout = 0x1234; // the field after the name
    SetSessionAddress(s, std::string(400, '9'));
    SetSessionAudioSourceName(s, std::u16string(400, u'x'));
    EXPECT_EQ(std::string(s.address).size(), size_t(kSessionTextUnits - 1));
    EXPECT_EQ(std::u16string(s.audioSourceName).size(), size_t(kSessionTextUnits - 1));
    EXPECT_EQ(s.videoBitRate, 0x5A5A5A5A);
    EXPECT_EQ(s.idleTimeout.load(), 0x1234);

    SetSessionAddress(s, "127.0.0.1"); // a shorter text leaves nothing of the old one
    EXPECT_EQ(std::string(s.address), "127.0.0.1");
}
