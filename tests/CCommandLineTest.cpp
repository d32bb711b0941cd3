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

TEST(CCommandLine, ReceiveLatencyIsMillisecondsInItsRangeOrAuto) {
    CCommandLine line;
    ASSERT_TRUE(Parse(line, {"--receive-latency", "700"})) << line.Error();
    EXPECT_EQ(CCommandLine::Launch().receiveLatencyMs, 700);
    ASSERT_TRUE(Parse(line, {"--receive-latency=auto"})) << line.Error();
    EXPECT_EQ(CCommandLine::Launch().receiveLatencyMs, 0);
    ASSERT_TRUE(Parse(line, {}));
    EXPECT_FALSE(CCommandLine::Launch().receiveLatencyMs) << "none given, the stored one holds";
    for (const char* bad : {"49", "5001", "fast", "", "300ms"}) {
        EXPECT_FALSE(Parse(line, {"--receive-latency", bad})) << bad;
        EXPECT_NE(line.Error().find("--receive-latency"), std::string::npos) << line.Error();
    }
    EXPECT_NE(CCommandLine::Help().find("--receive-latency MS|auto"), std::string::npos);
}
