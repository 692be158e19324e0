// transfer: sending a file. Binary files go out led by a header (the file's
// own or one made from the options), text files up to and including the
// first 0x1A (one is added when the file has none). Every byte is handed to
// the link and drained before the next; nothing is ever read back. Only a
// regular file whose length can be trusted is sent, and a binary transfer
// whose file ends before the length it announced is not called complete.
#include <algorithm>

#include "comm.h"
#include "console.h"
#include "console_text.h"
#include "outcome.h"
#include "output_pacing.h"
#include "progress.h"
#include "settings.h"
#include "transfer.h"
#include "transfer_file.h"

namespace {

constexpr int kEndOfText = 0x1A;
// Without a header the count of bytes to send is length + 16, in 32 bits.
constexpr uint64_t kMaxCountedLength = 0xFFFFFFFFu - kHeaderSize;

bool Refuse(const char* text) {
    ConsolePrint(text, settings.fileName);
    RecordOutcome(Outcome::kRefused);
    return false;
}

int CannotRead() {
    ConsolePrint(kCannotRead, settings.fileName);
    RecordOutcome(Outcome::kFileFailed);
    return -1;
}

// The length of the file to send, or false with the refusal printed. Files
// in /proc read as 0 bytes long and yet have contents: one byte is tried.
bool SendableLength(FILE* file, uint64_t* length) {
    if (!RegularFileLength(file, length)) return Refuse(kNotRegularFile);
    if (*length > 0) return true;
    int probe = std::fgetc(file);
    if (std::ferror(file)) {
        CannotRead();
        return false;
    }
    if (probe != EOF) return Refuse(kLengthUntrusted);
    std::rewind(file);
    return true;
}

// The file ended after `sent` data bytes: complete unless the device was
// promised more, or the file could not be read.
int FileEnded(FILE* file, uint32_t announced, uint32_t sent) {
    if (std::ferror(file)) return CannotRead();
    if (sent >= announced) return 0;
    ConsolePrint(kFileEndedEarly, settings.fileName, static_cast<unsigned long>(announced),
                 static_cast<unsigned long>(sent));
    RecordOutcome(Outcome::kFileFailed);
    return -1;
}

// The header to send and the count of bytes to send with it (header
// included), or false with the reason printed when the device could not be
// told the truth about what follows.
bool PrepareHeader(FILE* file, SendPlan* plan) {
    const uint64_t length = plan->length;
    TransferHeader* header = &plan->header;
    uint32_t* size = &plan->size;
    plan->stored = DetectHeader(file, static_cast<uint32_t>(std::min<uint64_t>(length, kHeaderSize))) == 0;
    std::fseek(file, 0, SEEK_SET);
    if (!plan->stored) {
        if (settings.sendHeader && length > kMaxTotalSize - kHeaderSize) return Refuse(kTooLarge);
        if (length > kMaxCountedLength) return Refuse(kTooLargeForCount);
        *header = TransferHeader::Build(static_cast<uint32_t>(length), settings.loadAddress, settings.runAddress);
        *size = static_cast<uint32_t>(length) + kHeaderSize;
        return true;
    }
    for (uint8_t& byte : header->bytes) byte = static_cast<uint8_t>(std::fgetc(file));
    *size = header->TotalSize();
    if (*size < kHeaderSize) {
        ConsolePrint(kStoredSizeTooSmall, settings.fileName, static_cast<unsigned long>(*size));
        RecordOutcome(Outcome::kRefused);
        return false;
    }
    if (length < *size) {
        ConsolePrint(kFileShorterThanHeader, settings.fileName, static_cast<unsigned long>(*size));
        RecordOutcome(Outcome::kRefused);
        return false;
    }
    // -S and --run-address on the command line are deliberate requests:
    // they win over the addresses stored in the file.
    if (settings.loadAddressGiven) header->SetLoadAddress(settings.loadAddress);
    if (settings.runAddressGiven) header->SetRunAddress(settings.runAddress);
    return true;
}

// The header line, then the header's 16 bytes unless -N; false when the
// link failed.
bool SendHeader(const TransferHeader& header, uint32_t dataLength) {
    const uint8_t* h = header.bytes;
    ConsolePrint(kSendHeaderLine, h[9], h[8], h[13], h[12], static_cast<unsigned long>(dataLength));
    if (!settings.sendHeader) return true;
    for (uint8_t byte : header.bytes) {
        ConsoleText(kHeaderByteWriting);
        if (LinkWrite(byte) == -2) return false;
        ConsoleText(kHeaderByteSent);
    }
    return true;
}

int SendBinary(FILE* file, const SendPlan& plan) {
    uint32_t size = plan.size;
    if (!SendHeader(plan.header, size - kHeaderSize)) return -1;
    if (settings.sendHeader || plan.stored) size -= kHeaderSize;  // the data the header announces, and no more
    // With -N and a header of our own making the count still includes its 16
    // bytes (the marks have always counted so); the loop then ends at the
    // end of the file, and nothing was announced.
    const uint32_t announced = settings.sendHeader ? size : 0;
    const uint32_t moving = settings.sendHeader || plan.stored ? size : size - kHeaderSize;
    ProgressBar progress(kSendFrame, size, moving);
    for (uint32_t i = 0; i < size; ++i) {
        int ch = std::fgetc(file);
        if (ch == EOF) return FileEnded(file, announced, i);
        if (LinkWrite(ch) == -2) return -1;
        progress.Advance();
    }
    return 0;
}

// A program image (--from), laid out before the port is opened: its lowest
// address is the load address, and exactly its bytes follow the header.
bool PlanImage(FILE* file, SendPlan* plan) {
    uint32_t runAddress = 0;
    if (!PrepareImage(file, plan->length, &plan->image, &runAddress)) return false;
    const uint32_t size = static_cast<uint32_t>(plan->image.bytes.size());
    plan->fromImage = true;
    plan->header = TransferHeader::Build(size, plan->image.base, runAddress);
    plan->size = size + kHeaderSize;
    return true;
}

int SendImage(const SendPlan& plan) {
    const uint32_t size = plan.size - kHeaderSize;
    if (!SendHeader(plan.header, size)) return -1;
    ProgressBar progress(kSendFrame, size, size);
    for (uint8_t byte : plan.image.bytes) {
        if (LinkWrite(byte) == -2) return -1;
        progress.Advance();
    }
    return 0;
}

int SendText(FILE* file, uint64_t length) {
    ConsolePrint(kSendTextLine, static_cast<unsigned long>(std::min<uint64_t>(length, 0xFFFFFFFFu)));
    for (;;) {
        int ch = std::fgetc(file);
        if (ch == EOF) {
            if (std::ferror(file)) return CannotRead();
            break;
        }
        if (LinkWrite(ch) == -2) return -1;
        if (ch == kEndOfText) return 0;
    }
    // The device only knows the text has ended when this byte arrives, so
    // its failure is a failed transfer.
    return LinkWrite(kEndOfText) == -2 ? -1 : 0;
}

// The last bytes are the device's only once they have left the line: until
// then the send is not complete. A line lost meanwhile has told its own
// reason; only a tail that stood still is the device's holding.
int AwaitSent() {
    const int finished = commLink.FinishSending();
    if (finished == 1) return 0;
    const int boundSeconds = static_cast<int>(TailWait::kBoundNs / 1000000000LL);
    if (finished == 0 && !abortRequested.load()) ConsoleError(kTailHeld, boundSeconds);
    RecordLinkFailure();
    return -1;
}

}  // namespace

bool PlanSend(FILE* file, SendPlan* plan) {
    *plan = SendPlan();
    if (!SendableLength(file, &plan->length)) return false;
    if (!settings.binaryMode) return true;
    return settings.from == ImageFormat::kBinary ? PrepareHeader(file, plan) : PlanImage(file, plan);
}

int SendFile(FILE* file, const SendPlan& plan) {
    int result = !settings.binaryMode ? SendText(file, plan.length)
                 : plan.fromImage     ? SendImage(plan)
                                      : SendBinary(file, plan);
    if (result == 0) result = AwaitSent();
    if (result == 0) ConsoleText(kSendDone);
    return result;
}
