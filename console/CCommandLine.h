// The program's command line: the options it takes, their help text, and the
// launch choices they make. Read before any window exists, so that --help and
// --version work without a display.
#pragma once

#include <string>
#include <vector>

struct LaunchOptions {
    bool help = false;
    bool version = false;
    // Every connection of a session is recorded into this folder; empty for
    // the operator's own choice.
    std::string recordFolder;
    // Addresses every session publishes to, in place of the stored ones.
    std::vector<std::string> publishTargets;
    // Serves metrics on this port, in place of the stored one; 0 for that.
    int metricsPort = 0;
    // Where the metrics are served; empty for the stored or default address.
    std::string metricsAddress;
    // The field units that may connect, in place of the stored list; empty
    // for that. Checked as read; never stored.
    std::vector<std::string> allowed;
};

class CCommandLine {
public:
    // Exit codes of a launch that ends at the command line.
    static constexpr int kExitOk = 0;
    static constexpr int kExitUsage = 2;

    // Reads argv[1..]; false with a message in Error() on an unknown option,
    // a missing or a bad value.
    bool Parse(int argc, char** argv);
    const LaunchOptions& Options() const { return options; }
    const std::string& Error() const { return error; }

    // The usage text that --help prints.
    static std::string Help();
    static std::string Version();
    // What the program was started with: the options of the last command
    // line read without error. The main window takes its recording and
    // publishing choices from here.
    static const LaunchOptions& Launch();

private:
    LaunchOptions options;
    std::string error;
};
