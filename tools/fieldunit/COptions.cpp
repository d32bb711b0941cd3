#include "COptions.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <functional>
#include <map>

namespace {

bool ParseInt(const std::string& s, long min, long max, int& out) {
    if (s.empty())
        return false;
    char* end = nullptr;
    errno = 0;
    long v = std::strtol(s.c_str(), &end, 10);
    if (errno || *end || v < min || v > max)
        return false;
    out = static_cast<int>(v);
    return true;
}

bool ParseNumber(const std::string& s, double min, double max, double& out) {
    if (s.empty())
        return false;
    char* end = nullptr;
    errno = 0;
    double v = std::strtod(s.c_str(), &end);
    if (errno || *end || !(v >= min && v <= max))
        return false;
    out = v;
    return true;
}

bool ParseSeconds(const std::string& s, double& out) {
    return ParseNumber(s, 0, 1e7, out);
}

// Rates that AAC can signal and that fit the header's 16-bit field.
bool IsAacRate(int rate) {
    for (int r : {8000, 11025, 12000, 16000, 22050, 24000, 32000, 44100, 48000, 64000})
        if (rate == r)
            return true;
    return false;
}

} // namespace

bool COptions::Fail(const std::string& text) {
    error = text;
    return false;
}

bool COptions::SetHostPort(const std::string& text) {
    std::string portText;
    if (!text.empty() && text[0] == '[') {
        // [IPv6]:port
        auto close = text.find(']');
        if (close == std::string::npos)
            return false;
        host = text.substr(1, close - 1);
        if (close + 1 < text.size()) {
            if (text[close + 1] != ':')
                return false;
            portText = text.substr(close + 2);
            if (portText.empty())
                return false;
        }
    } else {
        auto colon = text.rfind(':');
        if (colon != std::string::npos && text.find(':') == colon) {
            host = text.substr(0, colon);
            portText = text.substr(colon + 1);
            if (portText.empty())
                return false;
        } else {
            host = text;
        }
    }
    if (host.empty())
        return false;
    if (!portText.empty()) {
        int p = 0;
        if (!ParseInt(portText, 1, 65535, p))
            return false;
        port = static_cast<uint16_t>(p);
    }
    return true;
}

bool COptions::Parse(int argc, char** argv) {
    using Setter = std::function<bool(const std::string&)>;
    const std::map<std::string, Setter> valued = {
        {"--file",
         [&](const std::string& v) {
             file = v;
             return !v.empty();
         }},
        {"--size",
         [&](const std::string& v) {
             auto x = v.find_first_of("xX");
             if (x == std::string::npos)
                 return false;
             if (!ParseInt(v.substr(0, x), 32, 7680, width))
                 return false;
             if (!ParseInt(v.substr(x + 1), 32, 4320, height))
                 return false;
             // 4:2:0 pictures need even sizes.
             return width % 2 == 0 && height % 2 == 0;
         }},
        {"--fps", [&](const std::string& v) { return ParseInt(v, 1, 120, fps); }},
        {"--bitrate", [&](const std::string& v) { return ParseInt(v, 50, 200000, bitrateKbps); }},
        {"--audio-rate",
         [&](const std::string& v) {
             return ParseInt(v, 8000, 64000, audioRate) && IsAacRate(audioRate);
         }},
        {"--audio-channels",
         [&](const std::string& v) { return ParseInt(v, 1, 2, audioChannels); }},
        {"--duration", [&](const std::string& v) { return ParseSeconds(v, durationSeconds); }},
        {"--slices", [&](const std::string& v) { return ParseInt(v, 1, 32, slices); }},
        {"--gop", [&](const std::string& v) { return ParseNumber(v, 0.1, 60, gopSeconds); }},
        {"--stall-every",
         [&](const std::string& v) { return ParseNumber(v, 0.1, 3600, stallEverySeconds); }},
        {"--stall-ms", [&](const std::string& v) { return ParseInt(v, 1, 60000, stallMs); }},
        {"--stall-count",
         [&](const std::string& v) { return ParseInt(v, 1, 1000000, stallCount); }},
        {"--stall-after",
         [&](const std::string& v) { return ParseNumber(v, 0.1, 1e6, stallAfterSeconds); }},
        {"--return-audio",
         [&](const std::string& v) {
             returnAudioPath = v;
             return !v.empty();
         }},
        {"--connect-timeout",
         [&](const std::string& v) { return ParseSeconds(v, connectTimeoutSeconds); }},
        {"--clock-ppm", [&](const std::string& v) { return ParseInt(v, -20000, 20000, clockPpm); }},
        {"--go-silent-after",
         [&](const std::string& v) { return ParseSeconds(v, goSilentAfterSeconds); }},
        {"--return-tone",
         [&](const std::string& v) { return ParseNumber(v, 20, 20000, returnToneHz); }},
        {"--tone-marks",
         [&](const std::string& v) { return ParseNumber(v, 0.5, 3600, toneMarkSeconds); }},
        {"--flash-beep",
         [&](const std::string& v) { return ParseNumber(v, 0.5, 3600, flashBeepSeconds); }},
        {"--black-after", [&](const std::string& v) { return ParseSeconds(v, blackAfterSeconds); }},
        {"--freeze-after",
         [&](const std::string& v) { return ParseSeconds(v, freezeAfterSeconds); }},
        {"--mute-after", [&](const std::string& v) { return ParseSeconds(v, muteAfterSeconds); }},
        {"--resume-after",
         [&](const std::string& v) { return ParseSeconds(v, resumeAfterSeconds); }},
    };
    const std::map<std::string, bool*> flags = {
        {"--loop", &loop},
        {"--unpaced", &unpaced},
        {"--quiet", &quiet},
        {"--help", &help},
        {"--version", &version},
        {"--ignore-return", &ignoreReturn},
        {"-h", &help},
    };

    bool haveHost = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--play-return" || arg.rfind("--play-return=", 0) == 0) {
            playReturn = true;
            if (arg.size() > 13)
                playDevice = arg.substr(14);
            continue;
        }
        if (arg.size() > 1 && arg[0] == '-') {
            std::string name = arg, value;
            bool inlineValue = false;
            auto eq = arg.find('=');
            if (arg.rfind("--", 0) == 0 && eq != std::string::npos) {
                name = arg.substr(0, eq);
                value = arg.substr(eq + 1);
                inlineValue = true;
            }
            if (auto f = flags.find(name); f != flags.end()) {
                if (inlineValue)
                    return Fail("option " + name + " takes no value");
                *f->second = true;
                continue;
            }
            auto v = valued.find(name);
            if (v == valued.end())
                return Fail("unknown option " + name);
            if (!inlineValue) {
                if (i + 1 >= argc)
                    return Fail("option " + name + " needs a value");
                value = argv[++i];
            }
            if (!v->second(value))
                return Fail("bad value '" + value + "' for " + name);
            continue;
        }
        if (haveHost)
            return Fail("more than one studio address given: " + arg);
        if (!SetHostPort(arg))
            return Fail("bad studio address '" + arg + "' (HOST or HOST:PORT)");
        haveHost = true;
    }
    if (help || version)
        return true;
    if (!haveHost)
        return Fail("no studio address given (HOST or HOST:PORT)");
    if (loop && file.empty())
        return Fail("--loop needs --file");
    if (toneMarkSeconds > 0 && !file.empty())
        return Fail("--tone-marks is for the test pattern's tone, not --file");
    if (flashBeepSeconds > 0 && (!file.empty() || toneMarkSeconds > 0))
        return Fail("--flash-beep is for the test pattern, without --tone-marks");
    if (ignoreReturn && (!returnAudioPath.empty() || playReturn || returnToneHz > 0))
        return Fail("--ignore-return reads no return audio to write, play or check");
    if ((stallEverySeconds > 0) != (stallMs > 0) ||
        ((stallCount > 0 || stallAfterSeconds > 0) && stallMs == 0))
        return Fail("--stall-every and --stall-ms go together (--stall-count and --stall-after "
                    "with them)");
    if (stallMs > 0 && (unpaced || stallMs >= stallEverySeconds * 1000))
        return Fail("a stall is shorter than its interval, and only a paced stream stalls");
    const double firstFault = std::max({blackAfterSeconds, freezeAfterSeconds, muteAfterSeconds});
    if (firstFault >= 0 && !file.empty())
        return Fail("--black-after, --freeze-after and --mute-after are for the test pattern, "
                    "not --file");
    if (resumeAfterSeconds >= 0) {
        if (firstFault < 0)
            return Fail("--resume-after ends --black-after, --freeze-after or --mute-after: "
                        "give one");
        for (double fault : {blackAfterSeconds, freezeAfterSeconds, muteAfterSeconds})
            if (fault >= 0 && fault >= resumeAfterSeconds)
                return Fail("--resume-after must come later than the faults it ends");
    }
    return true;
}

int64_t COptions::VideoBitrate(int w, int h, double framesPerSecond) const {
    if (bitrateKbps > 0)
        return int64_t(bitrateKbps) * 1000;
    // About 0.09 bits per pixel: 2.5 Mbit/s for 720p30, enough for live news.
    double bits = double(w) * h * framesPerSecond * 0.09;
    if (bits < 200e3)
        bits = 200e3;
    if (bits > 20e6)
        bits = 20e6;
    return int64_t(bits);
}

std::string COptions::HelpText() {
    return R"(Usage: fieldunit [OPTIONS] HOST[:PORT]

Streams H.264 video and AAC audio to a Lumenfeed studio, the way a field unit
does, and receives the studio's return audio on the same connection.
HOST is a name or an address (IPv6 in brackets: [::1]:8088); PORT defaults to 8088.

Input (one of):
  --file PATH            stream a media file (MP4, MKV, MOV, TS, FLV, ... whatever
                         libavformat opens). H.264 video is sent as it is, other
                         video is transcoded to H.264; AAC audio is sent as it is,
                         other audio is transcoded to AAC.
  (no --file)            a generated test pattern: colour bars, a moving box, a
                         burnt-in frame counter and clock, and a 1 kHz tone.

Test pattern:
  --size WxH             picture size, even numbers (default 1280x720)
  --fps N                frames per second, 1-120 (default 30)
  --audio-rate HZ        tone sample rate: 8000 ... 64000, an AAC rate (default 48000)
  --audio-channels N     tone channels, 1 or 2 (default 2)
  --tone-marks SECONDS   every SECONDS of media time, glide the tone 5 % up in
                         pitch and back within 40 ms: a timing mark that a
                         listener's check can find without hearing a click
  --flash-beep SECONDS   black pictures and silence, but every SECONDS a white
                         flash of 3 frames and a 100 ms beep that begin at the
                         same moment of media time: for measuring lip sync

Faults of the test pattern, for the studio's alarms to come on and clear
(SECONDS of media time from the start; 0 from the first picture):
  --black-after SECONDS  black pictures from then on
  --freeze-after SECONDS the picture of that moment over and over from then on,
                         still coded and sent at the frame rate
  --mute-after SECONDS   digital silence instead of the tone from then on, still
                         coded and sent (--go-silent-after sends nothing at all)
  --resume-after SECONDS the pattern and the tone again from then on, later than
                         the faults above

Encoding (test pattern, and files whose video is transcoded):
  --bitrate KBPS         video bit rate in kbit/s (default: from size and rate,
                         2500 for 1280x720 at 30 fps)
  --slices N             H.264 slices per picture, 1-32 (default 4; small pictures
                         get fewer: libx264 wants about 4 macroblock rows a slice)
  --gop SECONDS          the test pattern's key frame every SECONDS, 0.1-60
                         (default 2)

Timing:
  --duration SECONDS     stop after this much media time (default: until the file
                         ends; the test pattern runs until stopped)
  --loop                 start the file again when it ends (needs --file)
  --unpaced              send as fast as the link takes it, not in real time
                         (for benchmarks)
  --clock-ppm PPM        pace by a clock that runs PPM parts per million fast
                         (negative: slow) against real time, -20000 ... 20000:
                         5000 sends 0.5 % more media per real second, so a
                         44100 Hz tone arrives at 44320.5 samples a second

Connection:
  --connect-timeout SECONDS
                         how long to keep retrying while the studio is not
                         listening yet (default 10; 0 retries for ever)

Return audio (the studio's audio sent back to the field unit):
  --return-audio FILE.wav
                         write it to a 16-bit PCM WAV file
  --play-return[=DEVICE-NAME]
                         play it on an output device (by its name; without a
                         name on the default device)
  --return-tone HZ       check it as a steady tone of HZ: the status line adds
                         the return packets received against those due since
                         the first (5 AAC frames of 1024 samples each), and the
                         gaps and discontinuities (clicks) heard so far; a
                         summary line at the end

Link faults:
  --go-silent-after SECONDS
                         after SECONDS of streaming send nothing more, but keep
                         the connection open and keep reading, like a field
                         unit that has vanished without closing; runs on until
                         --duration or a signal
  --stall-every SECONDS --stall-ms MS
                         every SECONDS of streaming, hold everything back for MS
                         milliseconds and then send the backlog at once, as a
                         retransmission on a cellular link does; the media
                         clock runs on meanwhile
  --stall-count N        stall N times only (default: for as long as it streams)
  --stall-after SECONDS  the first stall after SECONDS of streaming (default: one
                         interval)
  --ignore-return        never read the return audio (a field unit whose
                         downlink stalls); streaming goes on. The receive
                         buffer is kept small, so the studio's sending stalls
                         within seconds

Other:
  --quiet                no status line and no progress messages, errors only
  --version              print the version and exit
  --help, -h             this text

While streaming, a status line once a second on stderr shows the video frame
rate and bit rate sent, the audio packets sent, and the return audio packets
received with their level (RMS, dBFS). Ctrl+C or SIGTERM stops cleanly.

Exit codes:
  0  success: the duration was reached, the file ended, or stopped by a signal
  2  usage error (bad option or value), or the WAV file cannot be created
  3  the input file cannot be opened or read, or its codec is not supported
  4  the studio cannot be reached within the connect time-out
  5  the connection broke mid-stream (reset, or closed by the studio)
  6  the studio sent a return audio packet that does not parse
)";
}
