// velta-sim: a stand-in for the device that velta talks to, on a
// pseudo-terminal of its own or on a serial port. It loads what the PC sends
// into a 64 KiB memory image and reports it, or sends a file to the PC, at a
// real line rate, with XON/XOFF, and with faults on demand. `velta-sim --help`
// tells the rest.
#include <cstdio>
#include <string>

#include "sim_line.h"
#include "sim_load.h"
#include "sim_options.h"
#include "sim_send.h"

int main(int argc, char** argv) {
    sim::Options options;
    std::string error;
    switch (sim::ParseOptions(argc, argv, &options, &error)) {
        case sim::Parse::kHelp:
            std::fputs(sim::HelpText(), stdout);
            return sim::kComplete;
        case sim::Parse::kError:
            std::fprintf(stderr, "velta-sim: %s (see --help)\n", error.c_str());
            return sim::kUsage;
        case sim::Parse::kRun:
            break;
    }
    sim::InstallSignalHandling();
    sim::Line line;
    bool opened = options.port.empty() ? line.OpenPty(options.link, &error) : line.OpenDevice(options.port, options.baud, &error);
    if (!opened) {
        std::fprintf(stderr, "velta-sim: %s\n", error.c_str());
        return sim::kSetupFailed;
    }
    sim::Say("%s", line.Path().c_str());
    return options.send ? sim::RunSend(options, line) : sim::RunLoad(options, line);
}
