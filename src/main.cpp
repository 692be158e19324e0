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
#include "transfer_file.h"

namespace {

int EndStatus() { return settings.exitStatus ? ExitStatusFor(RunOutcome()) : 1; }

void FileFailed(const char* fixedText, const char* reasonText, int error) {
    ConsolePrint(fixedText, settings.fileName);
    ConsoleError(reasonText, settings.fileName, std::strerror(error));
    RecordOutcome(Outcome::kFileFailed);
}

// --stdio: the port a terminal program (picocom, minicom) holds open on
// standard input and output, at the rate it set. False, with the reason on
// the error stream, when there is no such port.
bool AdoptPort() {
#ifdef _WIN32
    ConsoleError(kStdioUnsupported);
    return false;
#else
    if (!commLink.AdoptStandardStreams(static_cast<uint32_t>(settings.baudRate))) {
        ConsoleError(kStdioNotTerminal);
        return false;
    }
    const int32_t lineRate = static_cast<int32_t>(commLink.LineRate());
    if (settings.baudRateGiven && settings.baudRate != lineRate)
        ConsoleError(kStdioRateDiffers, settings.baudRate, lineRate);
    settings.baudRate = lineRate;  // the reception prompt names the line's rate
    return true;
#endif
}

}  // namespace

int main(int argc, char** argv) {
    ConsoleInit();
    const ParseResult parsed = ParseArguments(argc, argv, &settings);
#ifndef _WIN32
    // With --stdio standard output is the serial line: every text goes to the error stream.
    if (settings.stdio) ConsoleToErrorStream();
#endif
    if (parsed == ParseResult::kOk) {
        if (settings.help) return PrintHelp();
        if (settings.version) return PrintVersion();
        if (settings.listPorts) return PrintPortList();
    }
    ConsoleText(kBanner);
    ConsoleText(kBanner2);
    EndOnUsageError(parsed);
    const bool linked =
        settings.stdio ? AdoptPort()
                       : commLink.OpenConnection(settings.port, static_cast<uint32_t>(settings.baudRate), 8, 0, 0,
                                                 static_cast<uint8_t>(settings.flowControl), settings.devicePath) != 0;
    if (!linked) {
        ConsoleText(kOpenFailed);
        ExplainOpenFailure(commLink.LastOpenFailure());
        HintPortValue(settings.portValue);
        RecordOutcome(Outcome::kPortFailed);
        std::exit(EndStatus());
    }
    FILE* file = OpenTransferFile(settings.fileName, settings.mode == 1);
    if (!file) {
        // Ctrl+C while a FIFO waited for its reader is an abort, not a failure.
        if (abortRequested.load()) {
            RecordOutcome(Outcome::kInterrupted);
            ConsoleText(kAborted);
        } else {
            FileFailed(kCannotOpen, kCannotOpenBecause, errno);
        }
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
    if (result == -1) {
        RecordOutcome(Outcome::kRefused);
        ConsoleText(kAborted);
    }
    const int closedStatus = commLink.CloseConnection();
    return settings.exitStatus ? EndStatus() : closedStatus;
}
