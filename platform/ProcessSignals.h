// What a service manager says to a program that runs without a window: the
// signals that end it, and where its standard error goes.
#pragma once

namespace platform {

// From now on SIGTERM and SIGINT no longer end the process at once: each
// writes one byte into a pipe whose reading end is returned, for an event
// loop to watch; -1 when that cannot be set up. Any thread may take the
// signal. Once only.
int CatchTerminationSignals();
// Reads what the signals wrote into that pipe so far.
void TakeTerminationSignals(int descriptor);

// True when standard error is the system journal's stream (systemd names it
// in JOURNAL_STREAM), which reads a level from a "<N>" at a line's start.
bool ErrorOutputIsJournal();

} // namespace platform
