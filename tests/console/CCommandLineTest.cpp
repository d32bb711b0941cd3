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

TEST(CCommandLine, UnattendedChoicesReachTheLaunchAndBadOnesAreRefused) {
    CCommandLine line;
    ASSERT_TRUE(Parse(line, {"--headless", "--listen", "10.0.0.5:8088", "--output", "Studio Out",
                             "--source=(none)", "--full-screen", "--start", "--instance",
                             "studio-2_b", "--decode-pictures", "never"}))
        << line.Error();
    const LaunchOptions& o = CCommandLine::Launch();
    EXPECT_TRUE(o.headless && o.start && o.fullScreen);
    EXPECT_EQ(o.listen, "10.0.0.5:8088");
    EXPECT_EQ(o.output, "Studio Out");
    EXPECT_EQ(o.source, "(none)");
    EXPECT_EQ(o.instance, "studio-2_b");
    EXPECT_EQ(o.decodePictures, "never");
    EXPECT_TRUE(o.configFile.empty());

    // Each refusal names its option.
    const std::vector<std::vector<std::string>> refused = {
        {"--listen", "10.0.0.5"},       {"--listen", "10.0.0.5:0"},
        {"--listen", "10.0.0.5:65536"}, {"--listen", "256.0.0.1:80"},
        {"--listen", "10.0.05.1:80"},   {"--listen", "studio:80"},
        {"--listen", "1.2.3:80"},       {"--listen", "1.2.3.4.5:80"},
        {"--listen", " 1.2.3.4:80"},    {"--listen", "1.2.3.4:+80"},
        {"--output="},                  {"--source", ""},
        {"--instance", "../etc"},       {"--instance", "-a"},
        {"--instance", "a b"},          {"--instance", std::string(33, 'a')},
        {"--instance", "caf\xc3\xa9"},  {"--instance", ""},
        {"--config", "/nonexistent/lumenfeed.conf"},
        {"--decode-pictures", "sometimes"}, {"--start=1"}, {"--headless=yes"}};
    for (const auto& args : refused) {
        EXPECT_FALSE(Parse(line, args)) << args[0] << " " << (args.size() > 1 ? args[1] : "");
        EXPECT_NE(line.Error().find(args[0].substr(0, args[0].find('='))), std::string::npos)
            << line.Error();
    }
    EXPECT_EQ(CCommandLine::Launch().instance, "studio-2_b") << "a refused line changes nothing";

    std::string address;
    int port = 0;
    EXPECT_TRUE(ParseListenAddress("0.0.0.0:65535", address, port));
    EXPECT_EQ(address, "0.0.0.0");
    EXPECT_EQ(port, 65535);
    EXPECT_TRUE(InstanceNameAllowed(std::string(32, 'Z')));

    // A file that is there is taken.
    ASSERT_TRUE(Parse(line, {"--config", "/proc/self/status"})) << line.Error();
    EXPECT_EQ(CCommandLine::Launch().configFile, "/proc/self/status");
    for (const char* option : {"--listen ADDR:PORT", "--output NAME", "--source NAME",
                               "--full-screen", "--start", "--headless", "--instance NAME",
                               "--config FILE", "--decode-pictures WHEN"})
        EXPECT_NE(CCommandLine::Help().find(option), std::string::npos) << option;
}
