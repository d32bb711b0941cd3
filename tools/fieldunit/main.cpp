// fieldunit: the other end of a Lumenfeed studio link, for engineers.
#include "CFieldUnit.h"
#include "CLog.h"
#include "COptions.h"
#include "ExitCodes.h"
#include "platform/ThreadPriority.h"

#include <atomic>
#include <csignal>
#include <cstdio>

extern "C" {
#include <libavutil/log.h>
}

namespace {
std::atomic<bool> stopRequested{false};
static_assert(std::atomic<bool>::is_always_lock_free);

extern "C" void OnSignal(int) {
    stopRequested = true;
}
} // namespace

int main(int argc, char** argv) {
    COptions options;
    if (!options.Parse(argc, argv)) {
        CLog::Error(options.Error());
        std::fprintf(stderr, "Try 'fieldunit --help'.\n");
        return exitcode::kUsage;
    }
    if (options.help) {
        std::fputs(COptions::HelpText().c_str(), stdout);
        return exitcode::kSuccess;
    }
    if (options.version) {
        std::printf("fieldunit %s\n", LUMEN_VERSION);
        return exitcode::kSuccess;
    }
    CLog::SetQuiet(options.quiet);
    // The libraries' own chatter is not for the engineer; their errors are.
    av_log_set_level(AV_LOG_ERROR);
    // A field unit whose pages went to the disk sends late, and the studio
    // hears a gap that is not its own.
    platform::KeepMemoryResident();
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    CFieldUnit unit(options);
    return unit.Run(stopRequested);
}
