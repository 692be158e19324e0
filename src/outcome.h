// main: why the run ended, recorded in one place by whichever part of the
// program learns it (the link, the transfers, the driver), so the driver can
// turn it into an exit status. The transfers keep returning 0 or -1; this
// says what lies behind a -1.
#pragma once

enum class Outcome {
    kComplete,     // the transfer completed
    kInterrupted,  // Ctrl+C, Ctrl+Break, SIGTERM, SIGHUP or a closed console
    kPortFailed,   // the port could not be opened or set up
    kFileFailed,   // the file could not be opened, read or written
    kRefused,      // the file was refused before anything went on the line
    kLineFailed,   // the line was lost, or the device sent an impossible header (size below 16)
};

// Keeps the first reason given: the first failure is the cause, what follows
// it (an abort line, a close) is consequence. kComplete records nothing.
void RecordOutcome(Outcome outcome);

// The reason recorded, or kComplete when none was.
Outcome RunOutcome();
