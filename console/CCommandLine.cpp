#include "CCommandLine.h"

#include "core/CAllowList.h"
#include "gateway/CGateway.h"
#include "record/CPublisher.h"

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>

#ifndef LUMEN_VERSION
#define LUMEN_VERSION "0"
#endif

namespace {

struct Option {
    const char* name;
    const char* value; // name of the value it takes, or null
    const char* help;
    std::function<bool(LaunchOptions&, const std::string& value, std::string& error)> apply;
};

const std::vector<Option>& Table() {
    static const std::vector<Option> table = {
        {"--help", nullptr, "show this help and exit",
         [](LaunchOptions& o, const std::string&, std::string&) { return o.help = true; }},
        {"--version", nullptr, "show the version and exit",
         [](LaunchOptions& o, const std::string&, std::string&) { return o.version = true; }},
        {"--record", "DIR", "record every connection into DIR, one MPEG-TS file each",
         [](LaunchOptions& o, const std::string& v, std::string& why) {
             if (v.empty())
                 why = "a folder is needed";
             o.recordFolder = v;
             return !v.empty();
         }},
        {"--publish", "URL", "publish the feed to URL while the link runs; repeatable",
         [](LaunchOptions& o, const std::string& v, std::string& why) {
             if (!CPublisher::Supported(v)) {
                 why = "not an srt://, udp://, rtmp:// or rtmps:// address";
                 return false;
             }
             o.publishTargets.push_back(v);
             return true;
         }},
        {"--metrics-port", "PORT",
         "serve metrics for monitoring at http://127.0.0.1:PORT/metrics",
         [](LaunchOptions& o, const std::string& v, std::string& why) {
             char* end = nullptr;
             long port = std::strtol(v.c_str(), &end, 10);
             if (v.empty() || *end || port < 1 || port > 65535) {
                 why = "a port from 1 to 65535 is needed";
                 return false;
             }
             o.metricsPort = int(port);
             return true;
         }},
        {"--metrics-address", "ADDR", "serve the metrics on ADDR instead of 127.0.0.1",
         [](LaunchOptions& o, const std::string& v, std::string& why) {
             if (v.empty())
                 why = "an address is needed";
             o.metricsAddress = v;
             return !v.empty();
         }},
        {"--allow", "CIDR[,CIDR...]", "serve only field units from these networks; repeatable",
         [](LaunchOptions& o, const std::string& v, std::string& why) {
             CAllowList list;
             if (!list.AddAll(v, why))
                 return false;
             for (const std::string& entry : list.Entries())
                 o.allowed.push_back(entry);
             return true;
         }},
        {"--listen", "ADDR:PORT", "listen for the field unit on ADDR:PORT (IPv4)",
         [](LaunchOptions& o, const std::string& v, std::string& why) {
             std::string address;
             int port = 0;
             if (!ParseListenAddress(v, address, port)) {
                 why = "an IPv4 address and a port from 1 to 65535 are needed, as 10.0.0.5:8088";
                 return false;
             }
             o.listen = v;
             return true;
         }},
        {"--output", "NAME", "play the programme sound on the output device NAME",
         [](LaunchOptions& o, const std::string& v, std::string& why) {
             if (v.empty())
                 why = "a device name is needed";
             o.output = v;
             return !v.empty();
         }},
        {"--source", "NAME", "send studio source NAME back; \"(none)\" for none",
         [](LaunchOptions& o, const std::string& v, std::string& why) {
             if (v.empty())
                 why = "a source name, or \"(none)\", is needed";
             o.source = v;
             return !v.empty();
         }},
        {"--full-screen", nullptr, "show the picture full screen",
         [](LaunchOptions& o, const std::string&, std::string&) { return o.fullScreen = true; }},
        {"--start", nullptr, "start at launch; try to listen every second until it can",
         [](LaunchOptions& o, const std::string&, std::string&) { return o.start = true; }},
        {"--headless", nullptr, "run the link without a window or display",
         [](LaunchOptions& o, const std::string&, std::string&) { return o.headless = true; }},
        {"--instance", "NAME",
         "name this receiver; its stored choices are its own",
         [](LaunchOptions& o, const std::string& v, std::string& why) {
             if (!InstanceNameAllowed(v)) {
                 why = "up to 32 letters, digits, '-' and '_', a letter or digit first";
                 return false;
             }
             o.instance = v;
             return true;
         }},
        {"--config", "FILE", "keep the stored choices in the INI file FILE",
         [](LaunchOptions& o, const std::string& v, std::string& why) {
             // A file named by hand that is not there is a mistake, not a
             // wish for the defaults.
             if (v.empty() || !std::ifstream(v)) {
                 why = "no file that can be read";
                 return false;
             }
             o.configFile = v;
             return true;
         }},
        {"--decode-pictures", "WHEN",
         "headless: decode pictures always, never or metrics",
         [](LaunchOptions& o, const std::string& v, std::string& why) {
             if (v != "always" && v != "never" && v != "metrics") {
                 why = "always, never or metrics";
                 return false;
             }
             o.decodePictures = v;
             return true;
         }},
        {"--receive-latency", "MS|auto",
         "hold the sound (and with lip sync the picture) MS milliseconds behind the "
         "field unit, or adapt to the network (auto); for this launch",
         [](LaunchOptions& o, const std::string& v, std::string& why) {
             if (v == "auto" || v == "Auto" || v == "AUTO") {
                 o.receiveLatencyMs = 0;
                 return true;
             }
             char* end = nullptr;
             long ms = std::strtol(v.c_str(), &end, 10);
             if (v.empty() || *end || ms < CGateway::kShortestReceiveLatencyMs ||
                 ms > CGateway::kLongestReceiveLatencyMs) {
                 why = "auto, or milliseconds from " +
                       std::to_string(CGateway::kShortestReceiveLatencyMs) + " to " +
                       std::to_string(CGateway::kLongestReceiveLatencyMs);
                 return false;
             }
             o.receiveLatencyMs = int(ms);
             return true;
         }},
    };
    return table;
}

} // namespace

bool ParseListenAddress(const std::string& text, std::string& address, int& port) {
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos)
        return false;
    const std::string host = text.substr(0, colon), portText = text.substr(colon + 1);
    // Four numbers of 0 to 255, with no sign, space or leading zero.
    int parts = 0;
    size_t at = 0;
    while (parts < 4) {
        size_t end = at;
        while (end < host.size() && host[end] >= '0' && host[end] <= '9' && end - at < 4)
            ++end;
        const std::string number = host.substr(at, end - at);
        if (number.empty() || number.size() > 3 || (number.size() > 1 && number[0] == '0') ||
            std::stoi(number) > 255)
            return false;
        ++parts;
        if (parts < 4) {
            if (end >= host.size() || host[end] != '.')
                return false;
            at = end + 1;
        } else if (end != host.size()) {
            return false;
        }
    }
    if (portText.empty() || portText.size() > 5 ||
        portText.find_first_not_of("0123456789") != std::string::npos)
        return false;
    const int p = std::stoi(portText);
    if (p < 1 || p > 65535)
        return false;
    address = host;
    port = p;
    return true;
}

bool InstanceNameAllowed(const std::string& name) {
    auto plain = [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    };
    if (name.empty() || name.size() > 32 || !plain(name[0]))
        return false;
    for (char c : name)
        if (!plain(c) && c != '-' && c != '_')
            return false;
    return true;
}

static LaunchOptions launched;

const LaunchOptions& CCommandLine::Launch() {
    return launched;
}

bool CCommandLine::Parse(int argc, char** argv) {
    options = {};
    error.clear();
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        // Single-dash arguments are the window toolkit's own (-platform,
        // -style ...), which it takes up itself.
        if (arg.rfind("--", 0) != 0 && arg.size() > 1 && arg[0] == '-') {
            if (i + 1 < argc && argv[i + 1][0] != '-')
                ++i;
            continue;
        }
        std::string value;
        bool inlineValue = false;
        if (auto eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = arg.substr(eq + 1);
            arg.resize(eq);
            inlineValue = true;
        }
        const Option* found = nullptr;
        for (const Option& option : Table())
            if (arg == option.name)
                found = &option;
        if (!found) {
            error = "unknown option '" + arg + "'";
            return false;
        }
        if (found->value && !inlineValue) {
            if (i + 1 >= argc) {
                error = "option '" + arg + "' needs a value (" + found->value + ")";
                return false;
            }
            value = argv[++i];
        } else if (!found->value && inlineValue) {
            error = "option '" + arg + "' takes no value";
            return false;
        }
        std::string why;
        if (!found->apply(options, value, why)) {
            error = "bad value '" + value + "' for option '" + arg + "'" +
                    (why.empty() ? std::string() : ": " + why);
            return false;
        }
    }
    launched = options;
    return true;
}

std::string CCommandLine::Help() {
    std::string text = "Usage: lumenfeed [OPTION]...\n"
                       "The studio end of a live link: receives a field unit's pictures and\n"
                       "sound, and sends the studio's sound back.\n\nOptions:\n";
    for (const Option& option : Table()) {
        std::string left = std::string("  ") + option.name;
        if (option.value)
            left += std::string(" ") + option.value;
        if (left.size() < 26)
            left.resize(26, ' ');
        else
            left += "  ";
        text += left + option.help + "\n";
    }
    text += "\nRecordings and publications carry the feed as it arrives, without re-encoding.\n"
            "URL is srt://HOST:PORT[?mode=caller|listener] or udp://HOST:PORT for MPEG-TS,\n"
            "rtmp://HOST/APP/STREAM for FLV. Both start with the session (Start).\n";
    text += "\nMetrics are served only when a port is given here or stored (MetricsPort).\n";
    text += "\nCIDR is an IPv4 or IPv6 address (one host) or network (ADDRESS/BITS). Without\n"
            "--allow or a stored list (Allow), every field unit is served.\n";
    text += "\nThe choices given here hold for this launch only and are never saved. Each\n"
            "may be stored instead: Listen=ADDR:PORT, Output=NAME, Source=NAME, Start=1,\n"
            "Record=1 (into RecordFolder=DIR), DecodePictures=WHEN, in\n"
            "~/.config/Norvik/Lumenfeed.conf, in Lumenfeed-NAME.conf beside it for\n"
            "--instance NAME, or in the file given with --config.\n";
    text += "\nWithout a window (--headless) the link starts at once; every text of the\n"
            "error line goes to standard error, one line each with its level, and\n"
            "SIGTERM or SIGINT ends it. It needs an address to listen on.\n";
    text += "\nThe window toolkit's own options (-platform, -style ...) are passed on.\n";
    text += "\nExit status: 0 when the program ends normally, 2 on a bad command line,\n"
            "3 when the link without a window cannot listen (the address and port are\n"
            "another's) or has no address to listen on.\n";
    return text;
}

std::string CCommandLine::Version() { return "lumenfeed " LUMEN_VERSION; }
