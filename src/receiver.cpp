// transfer: receiving a file. The user starts the device by hand, so we ask,
// wait for the first byte without using the processor, then take a header
// and exactly the data it announces (binary) or everything up to the 0x1A
// after the first byte (text). Bytes collect in BlockBuffer and reach the
// file in whole blocks; whatever has arrived is written out however the
// transfer ends, and a failed write ends it as a failure.
#include <cerrno>
#include <cstring>

#include "comm.h"
#include "console.h"
#include "console_text.h"
#include "outcome.h"
#include "progress.h"
#include "settings.h"
#include "transfer.h"
#include "transfer_file.h"

uint8_t BlockBuffer[kBlockSize];
uint32_t blockFill = 0;

namespace {

constexpr int kEndOfText = 0x1A;

bool fileFailed = false;

// A write that fails is the file's fault, unless an abort cut short the
// wait for a pipe to take it.
void FileFailed() {
    fileFailed = true;
    RecordOutcome(abortRequested.load() ? Outcome::kInterrupted : Outcome::kFileFailed);
}

void WriteBlock(FILE* file, uint32_t count) {
    if (!fileFailed && !WriteTransferFile(file, BlockBuffer, count)) FileFailed();
}

// Writes the partial block and pushes it to storage, so that a full disk, a
// quota or a network file system shows here and not after "complete" has
// been said.
bool FlushReceived(FILE* file) {
    if (blockFill > 0) WriteBlock(file, blockFill);
    blockFill = 0;
    if (!fileFailed && !FlushTransferFile(file)) FileFailed();
    return !fileFailed;
}

int ReceiveBinary(FILE* file) {
    TransferHeader header;
    for (uint8_t& byte : header.bytes) {
        int r = ReceiveByte(file);
        if (r < 0) return -1;
        byte = static_cast<uint8_t>(r);
    }
    // The transfer goes on as always; the warning says why it may make no sense.
    if (header.bytes[0] != 0xFF || header.bytes[1] != 0xFE || header.bytes[2] != 0x4D)
        ConsoleError(kNoHeaderMagic, header.bytes[0], header.bytes[1], header.bytes[2]);
    if (!settings.sendHeader) blockFill = 0;  // -N: the file gets the data only
    const uint32_t total = header.TotalSize();
    const uint32_t n = total - kHeaderSize;
    ConsolePrint(kReceiveHeaderLine, header.LoadAddress(), header.RunAddress(), static_cast<unsigned long>(n));
    // The count would wrap and we would wait for four billion bytes.
    if (total < kHeaderSize) {
        ConsolePrint(kReceivedSizeTooSmall, static_cast<unsigned long>(total));
        RecordOutcome(Outcome::kLineFailed);
        return -1;
    }
    ProgressBar progress(kReceiveFrame, n);
    for (uint32_t i = 0; i < n; ++i) {
        if (ReceiveByte(file) < 0) return -1;
        progress.Advance();
    }
    return 0;
}

int ReceiveText(FILE* file) {
    ConsoleText(kReceiveTextLine);
    // The first byte never ends the text, whatever it is; a failure here
    // shows at the next read, which fails the same way.
    ReceiveByte(file);
    ConsoleText(kReceiving);
    for (;;) {
        int r = ReceiveByte(file);
        if (r < 0) return -1;
        if (r == kEndOfText) return 0;
    }
}

int ReceiveTransfer(FILE* file) {
    ConsolePrint(kReceivePrompt, settings.baudRate);
    if (!commLink.WaitForData()) {
        RecordLinkFailure();
        return -1;
    }
    // Only now is the file's old content given up: Ctrl+C at the prompt, or
    // a device that never sends, leaves it as it was.
    if (!EmptyTransferFile(file)) {
        FileFailed();
        return -1;
    }
    ConsoleText("\r");
    return settings.binaryMode ? ReceiveBinary(file) : ReceiveText(file);
}

}  // namespace

int ReceiveByte(FILE* file) {
    int r = LinkRead();
    if (r == -2) return -1;
    BlockBuffer[blockFill++] = static_cast<uint8_t>(r);
    if (blockFill == kBlockSize) {
        WriteBlock(file, kBlockSize);
        blockFill = 0;
        if (fileFailed) return -1;
    }
    return r;
}

int ReceiveFile(FILE* file) {
    int result = ReceiveTransfer(file);
    if (!FlushReceived(file)) {
        const int error = errno;
        ConsolePrint(kCannotWrite, settings.fileName);
        ConsoleError(kCannotWriteBecause, settings.fileName, std::strerror(error));
        RecordOutcome(Outcome::kFileFailed);
        return -1;
    }
    if (result == 0) ConsoleText(kReceiveDone);
    return result;
}
