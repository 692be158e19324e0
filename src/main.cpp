// main: the driver. One transfer per run: banner, options, port, file,
// transfer, abort report, file closed, port closed. The port is taken before
// the file, so a reception whose port is missing leaves an existing file of
// that name untouched. Every run that gets past the options ends with 1,
// whether the transfer completed or not; the console says which.
#include <cstdio>
#include <cstdlib>

#include "comm.h"
#include "console.h"
#include "console_text.h"
#include "outcome.h"
#include "settings.h"
#include "transfer.h"
#include "transfer_file.h"

int main(int argc, char** argv) {
    ConsoleInit();
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
        std::exit(1);
    }
    FILE* file = OpenTransferFile(settings.fileName, settings.mode == 1);
    if (!file) {
        // Ctrl+C while a FIFO waited for its reader is an abort, not a failure.
        const bool aborted = abortRequested.load() != 0;
        RecordOutcome(aborted ? Outcome::kInterrupted : Outcome::kFileFailed);
        if (aborted) ConsoleText(kAborted);
        else ConsolePrint(kCannotOpen, settings.fileName);
        std::exit(1);  // the link's tear-down releases the port
    }
    int result = settings.mode == 1 ? SendFile(file) : ReceiveFile(file);
    bool closed = std::fclose(file) == 0;
    if (!closed && settings.mode == 2 && result == 0) {
        ConsolePrint(kCannotWrite, settings.fileName);
        result = -1;
    }
    if (result == -1) ConsoleText(kAborted);
    return commLink.CloseConnection();
}
