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
