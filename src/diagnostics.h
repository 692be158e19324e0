// main: what the program tells beside a transfer: --help, --version and
// --list-ports, a hint for a -P value it cannot mean, and the exit status
// that --exit-status gives for why the run ended.
#pragma once

#include "outcome.h"

// Each prints to standard output and gives the status to end with.
int PrintHelp();       // the usage text, the long options, the exit statuses; 0
int PrintVersion();    // 0
int PrintPortList();   // one line per port; 0, or 1 when there is none

// On the error stream, how to write a -P value that is neither a number
// nor (on POSIX) a path: "-PCOM3", "-Pttyusb0", or empty after a blank.
void HintPortValue(const char* value);

// --exit-status: 0 complete, 2 interrupted by the user, 3 port, 4 file,
// 5 refused before sending, 6 line lost or bad header.
int ExitStatusFor(Outcome outcome);
