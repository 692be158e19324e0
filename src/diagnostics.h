// main: what the program tells beside a transfer: --help, --version and
// --list-ports, a hint for a -P value it cannot mean, and the exit status
// that --exit-status gives for why the run ended.
#pragma once

#include <string>
#include <vector>

#include "outcome.h"
#include "port_list.h"
#include "settings.h"

// Each prints to standard output and gives the status to end with.
int PrintHelp();       // the usage text, the long options, the exit statuses; 0
int PrintVersion();    // 0
int PrintPortList();   // one line per port, or (--json) a JSON array; 0, or 1 when there is none

// The port list as --list-ports --json prints it.
std::string PortListJson(const std::vector<SerialPort>& ports);

// --port auto: the one USB serial port of the list from roots goes into
// *s as if given with -P. With none or several, false with the reason and
// the whole list on the error stream.
bool ChooseAutoPort(TransferSettings* s, const PortRoots& roots = PortRoots());

// On the error stream, after a transfer: the count and CRC-32 of the bytes
// that went over the line, and of the data after the header when one went.
void ReportLineTally();

// On the error stream, how to write a -P value that is neither a number
// nor (on POSIX) a path: "-PCOM3", "-Pttyusb0", or empty after a blank.
void HintPortValue(const char* value);

// --exit-status: 0 complete, 2 interrupted by the user, 3 port, 4 file,
// 5 refused before sending, 6 line lost or bad header, 7 reception timed out.
int ExitStatusFor(Outcome outcome);
