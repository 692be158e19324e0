// main: the driver. One transfer per run: banner, options, port, file,
// transfer, abort report, file closed, port closed. The port is taken before
// the file, so a reception whose port is missing leaves an existing file of
// that name untouched. Every run that gets past the options ends with 1,
// whether the transfer completed or not; the console says which. With
// --exit-status the status says why the run ended instead. --help, --version
// and --list-ports print no banner and touch no port.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "comm.h"
#include "console.h"
#include "console_text.h"
#include "diagnostics.h"
#include "outcome.h"
#include "port_list.h"
#include "settings.h"
#include "transfer.h"

namespace {

int EndStatus() { return settings.exitStatus ? ExitStatusFor(RunOutcome()) : 1; }

void FileFailed(const char* fixedText, const char* reasonText, int error) {
    ConsolePrint(fixedText, settings.fileName);
    ConsoleError(reasonText, settings.fileName, std::strerror(error));
    RecordOutcome(Outcome::kFileFailed);
}

}  // namespace

int main(int argc, char** argv) {
    ConsoleInit();
    if (ParseArguments(argc, argv, &settings) == ParseResult::kOk) {
        if (settings.help) return PrintHelp();
        if (settings.version) return PrintVersion();
        if (settings.listPorts) return PrintPortList();
    }
    ConsoleText(kBanner);
    ConsoleText(kBanner2);
    ParseOptions(argc, argv);
    const char* fileMode = settings.mode == 1 ? "rb" : settings.mode == 2 ? "wb" : nullptr;
    if (!fileMode) {
        PrintUsage();
        std::exit(1);
    }
    if (!commLink.OpenConnection(settings.port, static_cast<uint32_t>(settings.baudRate), 8, 0, 0,
                                 static_cast<uint8_t>(settings.flowControl), settings.devicePath)) {
        ConsoleText(kOpenFailed);
        ExplainOpenFailure(commLink.LastOpenFailure());
        HintPortValue(settings.portValue);
        RecordOutcome(Outcome::kPortFailed);
        std::exit(EndStatus());
    }
    FILE* file = std::fopen(settings.fileName, fileMode);
    if (!file) {
        FileFailed(kCannotOpen, kCannotOpenBecause, errno);
        std::exit(EndStatus());  // the link's tear-down releases the port
    }
    int result = settings.mode == 1 ? SendFile(file) : ReceiveFile(file);
    bool closed = std::fclose(file) == 0;
    if (!closed && settings.mode == 2 && result == 0) {
        FileFailed(kCannotWrite, kCannotWriteBecause, errno);
        result = -1;
    }
    // Every failure on the line or in the file records its reason where it
    // is learned; a transfer that failed without one never reached either:
    // the sender refused the file.
    if (result == -1) RecordOutcome(Outcome::kRefused);
    if (result == -1) ConsoleText(kAborted);
    const int closedStatus = commLink.CloseConnection();
    return settings.exitStatus ? EndStatus() : closedStatus;
}
