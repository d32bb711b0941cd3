// The command line of fieldunit.
#pragma once

#include <cstdint>
#include <string>

class COptions {
public:
    virtual ~COptions() = default;

    // False on a bad command line, with the reason in Error.
    bool Parse(int argc, char** argv);
    const std::string& Error() const { return error; }
    static std::string HelpText();

    std::string host;
    uint16_t port = 8088;
    std::string file;
    int width = 1280;
    int height = 720;
    int fps = 30;
    int bitrateKbps = 0; // 0: chosen from the picture size and frame rate
    int audioRate = 48000;
    int audioChannels = 2;
    double durationSeconds = 0; // 0: until the file ends, or for ever
    bool loop = false;
    bool unpaced = false;
    int slices = 4;
    double gopSeconds = 0; // 0: the encoder's live default (a key frame every 2 s)
    std::string returnAudioPath;
    bool playReturn = false;
    std::string playDevice; // empty: the system default output
    bool quiet = false;
    double connectTimeoutSeconds = 10; // 0: retry for ever
    // Link faults to reproduce.
    int clockPpm = 0;                 // our clock against real time, parts per million
    double goSilentAfterSeconds = -1; // negative: never
    bool ignoreReturn = false;
    // Hold everything back for stallMs every stallEverySeconds (the media
    // clock runs on), then send the backlog at once; stallCount stalls, 0
    // for as long as it streams.
    double stallEverySeconds = 0;
    int stallMs = 0;
    int stallCount = 0;
    double stallAfterSeconds = 0; // the first stall; 0: one interval in
    // Measuring.
    double returnToneHz = 0;    // 0: the return audio is not checked as a tone
    double toneMarkSeconds = 0; // 0: a plain tone
    double flashBeepSeconds = 0; // 0: the pattern and tone; else silence, flashes and beeps
    // Faults of the pattern for the studio's alarms, in media time; negative: never.
    double blackAfterSeconds = -1;
    double freezeAfterSeconds = -1;
    double muteAfterSeconds = -1;
    double resumeAfterSeconds = -1; // the pattern and tone again
    bool help = false;
    bool version = false;

    // The video bit rate to use, in bits per second.
    int64_t VideoBitrate(int w, int h, double framesPerSecond) const;

private:
    bool SetHostPort(const std::string& text);
    bool Fail(const std::string& text);

    std::string error;
};
