#include "CCommandLine.h"

#include "core/CAllowList.h"
#include "record/CPublisher.h"

#include <cstdlib>
#include <cstring>
#include <functional>

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
    };
    return table;
}

} // namespace

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
    text += "\nThe window toolkit's own options (-platform, -style ...) are passed on.\n";
    text += "\nExit status: 0 when the program ends normally, 2 on a bad command line.\n";
    return text;
}

std::string CCommandLine::Version() { return "lumenfeed " LUMEN_VERSION; }
