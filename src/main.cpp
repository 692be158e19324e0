// main: the driver. One transfer per run: banner, options, port, file,
// transfer, abort report, file closed, port closed. The file to send is
// opened and checked before the port, so one that cannot be sent never
// touches the port; the file to receive into is taken after it, so a
// reception whose port is missing leaves an existing file of that name
// untouched (and the receiver empties it only once a byte arrives). Every
// run that gets past the options ends with 1, whether the transfer completed
// or not; the console says which, and the error stream the count and CRC-32
// of what went over the line. With --exit-status the status says why the
// run ended instead. --help, --version and --list-ports print no banner and
// touch no port.
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
    if (!commLink.AdoptStandardStreams(static_cast<uint32_t>(settings.baudRate),
                                       static_cast<uint8_t>(settings.flowControl))) {
        const CommLink::OpenFailure& failure = commLink.LastOpenFailure();
        if (failure.step == CommLink::OpenStep::kCooked)
            ConsoleError(kStdioCooked, failure.detail.c_str());
        else
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

// The file to send, opened and checked before the port: a file that cannot
// be sent ends the run without touching the port (opening it raises DTR and
// RTS, which resets many boards). Returns only when it may be sent.
FILE* OpenFileToSend(SendPlan* plan) {
    FILE* file = OpenTransferFile(settings.fileName, true);
    if (!file) {
        FileFailed(kCannotOpen, kCannotOpenBecause, errno);
        std::exit(EndStatus());
    }
    if (!PlanSend(file, plan)) {
        std::fclose(file);
        ConsoleText(kAborted);
        std::exit(EndStatus());
    }
    return file;
}

// The file to receive into, once the port is open. It is not emptied here:
// the receiver does that when the first byte arrives.
FILE* OpenFileToReceive() {
    FILE* file = OpenTransferFile(settings.fileName, false);
    if (file) return file;
    // Ctrl+C while a FIFO waited for its reader is an abort, not a failure.
    if (abortRequested.load()) {
        RecordOutcome(Outcome::kInterrupted);
        ConsoleText(kAborted);
    } else {
        FileFailed(kCannotOpen, kCannotOpenBecause, errno);
    }
    std::exit(EndStatus());  // the link's tear-down releases the port
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
    CheckArguments(parsed, argc, argv);
    const bool sending = settings.mode == 1;
    SendPlan plan;
    FILE* file = sending ? OpenFileToSend(&plan) : nullptr;
    if (settings.portAuto && !settings.stdio && !ChooseAutoPort(&settings)) {
        RecordOutcome(Outcome::kPortFailed);
        std::exit(EndStatus());
    }
    commLink.SetModemLines(settings.dtr, settings.rts);
    commLink.SetReceiveTimeout(settings.timeoutSeconds * 1000u);
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
    if (!sending) file = OpenFileToReceive();
    int result = sending ? SendFile(file, plan) : ReceiveFile(file);
    bool closed = std::fclose(file) == 0;
    if (!closed && !sending && result == 0) {
        FileFailed(kCannotWrite, kCannotWriteBecause, errno);
        result = -1;
    }
    // Every failure on the line or in the file records its reason where it
    // is learned; a transfer that failed without one never reached either:
    // the sender refused the file.
    if (result == -1) RecordOutcome(Outcome::kRefused);
    if (RunOutcome() == Outcome::kTimedOut)
        ConsoleError(kTimedOut, static_cast<unsigned long>(settings.timeoutSeconds));
    if (result == -1) ConsoleText(kAborted);
    ReportLineTally();
    const int closedStatus = commLink.CloseConnection();
    return settings.exitStatus ? EndStatus() : closedStatus;
}
