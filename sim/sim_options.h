// velta-sim: the command line, its help text and the exit statuses.
#pragma once

#include <cstdint>
#include <string>

namespace sim {

// Exit statuses; the help text lists them and tests compare against them.
enum Status : int {
    kComplete = 0,     // received complete and intact / everything sent
    kIncomplete = 1,   // the line fell silent (or the operator moved on) too early
    kUsage = 2,        // command-line error
    kSetupFailed = 3,  // port, pseudo-terminal or file could not be used
    kWrongMagic = 4,   // the first three bytes were not FF FE 4D
    kBadSize = 5,      // totalSize below 16
    kOverrun = 6,      // data ran past the end of the 64 KiB image
    kInterrupted = 7,  // SIGINT, SIGTERM or SIGHUP before the end
};

struct Options {
    // Where: a pseudo-terminal of our own unless a device path is given.
    std::string port;
    std::string link;  // a symbolic link to our pseudo-terminal, if wanted
    unsigned baud = 9600;
    bool xonxoff = false, text = false, waitStdin = false;
    unsigned sessions = 1;

    // Loading (the PC sends).
    double idle = 5;
    std::string save;
    long hangAfter = -1;  // -1: never

    // Sending (the PC receives).
    bool send = false;
    std::string sendFile;
    uint16_t load = 0x2000;
    uint16_t run = 0;
    bool loadGiven = false, runGiven = false;  // --load, --run given
    bool waitOpen = false;
    double delay = 0;
    double linger = -1;  // -1: 1 s when sending, none when loading
    long stopAfter = -1;  // -1: send everything
    unsigned burst = 0;   // bytes per delivery; 0: what 10 ms of the line brings
    uint32_t shortBy = 0;
    bool badSize = false;
    bool garbage = false;
};

enum class Parse { kRun, kHelp, kError };

// Fills options from argv; on kError, *error says what was wrong.
Parse ParseOptions(int argc, char** argv, Options* options, std::string* error);

// The --help text.
const char* HelpText();

}  // namespace sim
