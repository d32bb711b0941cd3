#include "console/CCommandLine.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

bool Parse(CCommandLine& line, std::vector<std::string> args) {
    args.insert(args.begin(), "lumenfeed");
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    return line.Parse(int(argv.size()), argv.data());
}

} // namespace

TEST(CCommandLine, RefusesWhatItDoesNotKnowAndPassesTheToolkitsOptionsOn) {
    CCommandLine line;
    EXPECT_FALSE(Parse(line, {"--bogus"}));
    EXPECT_NE(line.Error().find("--bogus"), std::string::npos);
    EXPECT_FALSE(Parse(line, {"--version=3"}));
    EXPECT_FALSE(Parse(line, {"stray"}));

    ASSERT_TRUE(Parse(line, {"-platform", "offscreen", "--version"}));
    EXPECT_TRUE(line.Options().version);
    EXPECT_FALSE(line.Options().help);
    EXPECT_NE(CCommandLine::Help().find("--version"), std::string::npos);
}

TEST(CCommandLine, RecordFolderAndPublishTargetsReachTheLaunch) {
    CCommandLine line;
    ASSERT_TRUE(Parse(line, {"--record", "/srv/rec", "--publish", "srt://10.0.0.1:9000?mode=caller",
                             "--publish=rtmp://example.org/live/feed"}))
        << line.Error();
    EXPECT_EQ(CCommandLine::Launch().recordFolder, "/srv/rec");
    EXPECT_EQ(CCommandLine::Launch().publishTargets,
              (std::vector<std::string>{"srt://10.0.0.1:9000?mode=caller",
                                        "rtmp://example.org/live/feed"}));

    // A refused line leaves the launch as it was.
    EXPECT_FALSE(Parse(line, {"--publish", "http://example.org/feed"}));
    EXPECT_NE(line.Error().find("--publish"), std::string::npos) << line.Error();
    EXPECT_FALSE(Parse(line, {"--record"}));
    EXPECT_FALSE(Parse(line, {"--record="}));
    EXPECT_EQ(CCommandLine::Launch().recordFolder, "/srv/rec");
    EXPECT_NE(CCommandLine::Help().find("--publish URL"), std::string::npos);
}

TEST(CCommandLine, AllowListIsCheckedAsReadAndNeverStored) {
    CCommandLine line;
    ASSERT_TRUE(Parse(line, {"--allow", "192.0.2.7, 198.51.100.0/24", "--allow=2001:db8::/32"}))
        << line.Error();
    EXPECT_EQ(CCommandLine::Launch().allowed,
              (std::vector<std::string>{"192.0.2.7/32", "198.51.100.0/24", "2001:db8::/32"}));
    for (const char* bad : {"", "192.0.2.300", "192.0.2.0/33", "192.0.2.1,", "studio.example"}) {
        EXPECT_FALSE(Parse(line, {"--allow", bad})) << bad;
        EXPECT_NE(line.Error().find("--allow"), std::string::npos) << line.Error();
        EXPECT_NE(line.Error().find(std::string("'") + bad + "'"), std::string::npos)
            << line.Error();
    }
    EXPECT_FALSE(Parse(line, {"--allow"}));
    ASSERT_TRUE(Parse(line, {}));
    EXPECT_TRUE(CCommandLine::Launch().allowed.empty()) << "everyone, unless asked";
    EXPECT_NE(CCommandLine::Help().find("--allow CIDR[,CIDR...]"), std::string::npos);
}
