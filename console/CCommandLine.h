// The program's command line: the options it takes, their help text, and the
// launch choices they make. Read before any window exists, so that --help and
// --version work without a display.
#pragma once

#include <optional>
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
    // The receive latency in milliseconds, 0 for Auto, in place of the
    // stored one for this launch; never stored.
    std::optional<int> receiveLatencyMs;
    // The field units that may connect, in place of the stored list; empty
    // for that. Checked as read; never stored.
    std::vector<std::string> allowed;

    // Where to listen ("a.b.c.d:port"), the output device and the studio
    // source by name ("(none)" for none); empty for the stored or the
    // window's own choice.
    std::string listen;
    std::string output;
    std::string source;
    bool fullScreen = false;
    // Start the session at launch, and keep trying to listen until it can.
    bool start = false;
    // The link without a window; implies start.
    bool headless = false;
    // The receiver's name: its stored choices are its own, and its texts and
    // metrics carry it. Empty for the one receiver of a user.
    std::string instance;
    // An INI file of stored choices, in place of the user's.
    std::string configFile;
    // When a receiver without a window decodes pictures: "always", "never",
    // or "metrics" (while metrics are served); empty for the stored choice.
    std::string decodePictures;
};

// Reads "a.b.c.d:port" (port 1 to 65535); false when it is not that.
bool ParseListenAddress(const std::string& text, std::string& address, int& port);
// Names of receivers: letters, digits, '-' and '_', a letter or digit
// first, up to 32 in all, so that they are safe in file names and labels.
bool InstanceNameAllowed(const std::string& name);

class CCommandLine {
public:
    // Exit codes of a launch that ends at the command line.
    static constexpr int kExitOk = 0;
    static constexpr int kExitUsage = 2;
    // A receiver without a window that cannot listen, or has nowhere to.
    static constexpr int kExitCannotListen = 3;

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
