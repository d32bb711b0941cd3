// What fieldunit tells the script that started it.
#pragma once

namespace exitcode {
constexpr int kSuccess = 0;     // duration reached, file ended, or stopped by a signal
constexpr int kUsage = 2;       // bad command line
constexpr int kInput = 3;       // input file cannot be opened or parsed, or a codec is missing
constexpr int kUnreachable = 4; // no studio to connect to within the connect time-out
constexpr int kBroken = 5;      // the connection broke mid-stream
constexpr int kBadReturn = 6;   // the studio sent a return packet that does not parse
} // namespace exitcode
