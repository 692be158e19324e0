// transfer: sending a file. Binary files go out led by a header (the file's
// own or one made from the options), text files up to and including the
// first 0x1A (one is added when the file has none). Every byte is handed to
// the link and drained before the next; nothing is ever read back.
#include <sys/stat.h>

#include "comm.h"
#include "console.h"
#include "console_text.h"
#include "progress.h"
#include "settings.h"
#include "transfer.h"

namespace {

constexpr int kEndOfText = 0x1A;

uint32_t FileLength(FILE* file) {
    struct stat st;
    if (fstat(fileno(file), &st) != 0 || st.st_size < 0) return 0;
    const uint64_t size = static_cast<uint64_t>(st.st_size);
    return size > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(size);
}

// The header to send and the count of bytes to send with it (header
// included), or false with the reason printed when the device could not be
// told the truth about what follows.
bool PrepareHeader(FILE* file, uint32_t length, TransferHeader* header, uint32_t* size) {
    bool stored = DetectHeader(file, length) == 0;
    std::fseek(file, 0, SEEK_SET);
    if (!stored) {
        if (settings.sendHeader && length > kMaxTotalSize - kHeaderSize) {
            ConsolePrint(kTooLarge, settings.fileName);
            return false;
        }
        *header = TransferHeader::Build(length, settings.loadAddress, settings.runAddress);
        *size = length + kHeaderSize;
        return true;
    }
    for (uint8_t& byte : header->bytes) byte = static_cast<uint8_t>(std::fgetc(file));
    *size = header->TotalSize();
    if (*size < kHeaderSize) {
        ConsolePrint(kStoredSizeTooSmall, settings.fileName, static_cast<unsigned long>(*size));
        return false;
    }
    if (length < *size) {
        ConsolePrint(kFileShorterThanHeader, settings.fileName, static_cast<unsigned long>(*size));
        return false;
    }
    // -S on the command line is a deliberate request: it wins over the
    // address stored in the file.
    if (settings.loadAddressGiven) header->SetLoadAddress(settings.loadAddress);
    return true;
}

int SendBinary(FILE* file, uint32_t length) {
    TransferHeader header;
    uint32_t size = 0;
    if (!PrepareHeader(file, length, &header, &size)) return -1;
    const uint8_t* h = header.bytes;
    ConsolePrint(kSendHeaderLine, h[9], h[8], h[13], h[12], static_cast<unsigned long>(size - kHeaderSize));
    if (settings.sendHeader) {
        for (uint8_t byte : header.bytes) {
            ConsoleText(kHeaderByteWriting);
            if (LinkWrite(byte) == -2) return -1;
            --size;
            ConsoleText(kHeaderByteSent);
        }
    }
    // With -N the count still includes the 16 header bytes; the loop then
    // ends at the end of the file.
    ProgressBar progress(kSendFrame, size);
    for (uint32_t i = 0; i < size; ++i) {
        int ch = std::fgetc(file);
        if (ch == EOF) break;
        if (LinkWrite(ch) == -2) return -1;
        progress.Advance();
    }
    return 0;
}

int SendText(FILE* file, uint32_t length) {
    ConsolePrint(kSendTextLine, static_cast<unsigned long>(length));
    for (;;) {
        int ch = std::fgetc(file);
        if (ch == EOF) break;
        if (LinkWrite(ch) == -2) return -1;
        if (ch == kEndOfText) return 0;
    }
    // The device only knows the text has ended when this byte arrives, so
    // its failure is a failed transfer.
    return LinkWrite(kEndOfText) == -2 ? -1 : 0;
}

}  // namespace

int SendFile(FILE* file) {
    uint32_t length = FileLength(file);
    int result = settings.binaryMode ? SendBinary(file, length) : SendText(file, length);
    if (result == 0) ConsoleText(kSendDone);
    return result;
}
