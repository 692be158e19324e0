// main: the one record of settings that the command line produces and the
// driver and transfer code read, and the parsing that fills it.
#pragma once

#include <cstdint>

struct TransferSettings {
    int32_t mode = 1;              // 1 send, 2 receive
    int32_t binaryMode = 1;        // 1 binary (header-led), 0 text (ends at 0x1A)
    int32_t loadAddressGiven = 0;  // -S was on the command line
    int32_t sendHeader = 1;        // 0 with -N: header neither sent nor kept
    int32_t port = 1;              // COM number; only the low 8 bits reach the link
    int32_t flowControl = 0;       // FlowControlFlags
    int32_t baudRate = 9600;
    bool baudRateGiven = false;    // -B was on the command line
    uint32_t loadAddress = 0x2000;
    uint32_t runAddress = 0;       // no option sets it
    const char* fileName = nullptr;
    const char* devicePath = nullptr;  // POSIX: -P/dev/... names the device itself
    const char* portValue = nullptr;   // the -P value as given (for a hint when it is odd)

    // Long options (arguments that begin with "--"), taken out of the
    // argument vector before the fixed parsing sees it.
    bool help = false;        // --help
    bool version = false;     // --version
    bool listPorts = false;   // --list-ports
    bool progress = false;    // --progress
    bool exitStatus = false;  // --exit-status
    bool stdio = false;       // --stdio
    const char* unknownOption = nullptr;  // the first long option not known
    const char* badArgument = nullptr;    // the fixed argument that made a usage error
};

extern TransferSettings settings;

enum class ParseResult { kOk, kUsageError, kUnknownLongOption };

// Turns the argument vector into settings. Long options are taken out first,
// wherever they stand; kUnknownLongOption names the first one not known (in
// out->unknownOption). Then kUsageError at the first bad fixed argument (no
// file name, -M without S or R, a -B rate not among the eight). --help,
// --version and --list-ports need no file name.
ParseResult ParseArguments(int argc, char** argv, TransferSettings* out);

// After the banner: names on the error stream what the command line passes
// over in silence (an option given as the file name, ignored arguments,
// arguments that became options without a -), and for what ParseArguments
// found wrong (or a missing file name) says what was wrong, prints the usage
// text and ends the process with status -1.
void CheckArguments(ParseResult result, int argc, char** argv);

void PrintUsage();
