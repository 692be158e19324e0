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
#include "settings.h"
#include "transfer.h"

namespace {

// With --stdio standard output is the serial line: every console text, the
// banner and a usage text included, goes to the error stream.
void ChooseConsoleStream(int argc, char** argv) {
#ifndef _WIN32
    TransferSettings early;
    ParseArguments(argc, argv, &early);  // every long option is read, whatever else fails
    if (early.stdio) ConsoleToErrorStream();
#else
    (void)argc, (void)argv;
#endif
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
    ChooseConsoleStream(argc, argv);
    ConsoleText(kBanner);
    ConsoleText(kBanner2);
    ParseOptions(argc, argv);
    const char* fileMode = settings.mode == 1 ? "rb" : settings.mode == 2 ? "wb" : nullptr;
    if (!fileMode) {
        PrintUsage();
        std::exit(1);
    }
    const bool linked =
        settings.stdio ? AdoptPort()
                       : commLink.OpenConnection(settings.port, static_cast<uint32_t>(settings.baudRate), 8, 0, 0,
                                                 static_cast<uint8_t>(settings.flowControl), settings.devicePath) != 0;
    if (!linked) {
        ConsoleText(kOpenFailed);
        std::exit(1);
    }
    FILE* file = std::fopen(settings.fileName, fileMode);
    if (!file) {
        ConsolePrint(kCannotOpen, settings.fileName);
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
