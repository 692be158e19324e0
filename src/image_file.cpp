// transfer: a program image file to send (--from): read whole, handed to
// its reader, and either laid out for the header or refused with the reason
// on the error stream before anything goes on the line. The load address
// is the image's own; -S may only confirm it, as a -S that disagrees means
// the user expects the program somewhere it was not linked for.
#include <vector>

#include "console.h"
#include "console_text.h"
#include "image.h"
#include "outcome.h"
#include "settings.h"
#include "transfer.h"

namespace {

// Far beyond any image for 64 KiB (an ELF with its debugging sections
// included), and small enough to read into memory whole.
constexpr uint64_t kMaxImageFileSize = 64u << 20;

const char* FaultText(ImageFault fault) {
    switch (fault) {
        case ImageFault::kNone: break;
        case ImageFault::kSyntax: return kImageSyntax;
        case ImageFault::kChecksum: return kImageChecksum;
        case ImageFault::kTruncatedRecord: return kImageTruncatedRecord;
        case ImageFault::kRecordType: return kImageRecordType;
        case ImageFault::kNoEnd: return kImageNoEnd;
        case ImageFault::kRecordCount: return kImageRecordCount;
        case ImageFault::kOverlap: return kImageOverlap;
        case ImageFault::kOutOfRange: return kImageOutOfRange;
        case ImageFault::kEmpty: return kImageEmpty;
        case ImageFault::kNotElf: return kImageNotElf;
        case ImageFault::kElfTruncated: return kImageElfTruncated;
        case ImageFault::kNoLoadable: return kImageNoLoadable;
    }
    return kImageSyntax;
}

const char* FormatName(ImageFormat format) {
    switch (format) {
        case ImageFormat::kIntelHex: return "Intel HEX";
        case ImageFormat::kSRecord: return "S-record";
        case ImageFormat::kElf: return "ELF";
        default: return "";
    }
}

bool Refused() {
    RecordOutcome(Outcome::kRefused);
    return false;
}

// Where, then why: the reason is a message of its own, so that it is shown
// in the user's language like the rest of the line.
bool TellFault(const ImageResult& result) {
    const char* name = settings.fileName;
    if (result.fault == ImageFault::kOverlap || result.fault == ImageFault::kOutOfRange)
        ConsoleError(kImageFaultAtAddress, name, static_cast<unsigned long>(result.address));
    else if (result.line > 0)
        ConsoleError(kImageFaultAtLine, name, static_cast<unsigned long>(result.line));
    else
        ConsoleError("%s: ", name);  // the file alone: no words to translate
    ConsoleError(FaultText(result.fault));
    return Refused();
}

bool ReadWhole(FILE* file, uint64_t length, std::vector<uint8_t>* bytes) {
    if (length > kMaxImageFileSize) {
        const auto limit = static_cast<unsigned long>(kMaxImageFileSize);
        ConsoleError(kImageTooLarge, settings.fileName, limit);
        return Refused();
    }
    bytes->resize(static_cast<size_t>(length));
    if (std::fread(bytes->data(), 1, bytes->size(), file) == bytes->size()) return true;
    ConsolePrint(kCannotRead, settings.fileName);
    RecordOutcome(Outcome::kFileFailed);
    return false;
}

// The run address for the header: --run-address, the file's start address
// (entry), or 0.
bool ChooseRunAddress(const LoadImage& image, uint32_t* run) {
    *run = settings.runAddress;
    if (!settings.runFromEntry) return true;
    if (!image.hasEntry) {
        ConsoleError(kImageNoEntry, settings.fileName);
        return Refused();
    }
    if (image.entry >= kImageLimit) {
        ConsoleError(kImageEntryTooHigh, settings.fileName, static_cast<unsigned long>(image.entry));
        return Refused();
    }
    *run = image.entry;
    return true;
}

}  // namespace

bool PrepareImage(FILE* file, uint64_t length, LoadImage* image, uint32_t* runAddress) {
    std::vector<uint8_t> bytes;
    if (!ReadWhole(file, length, &bytes)) return false;
    ImageFormat format = settings.from;
    if (format == ImageFormat::kAuto) format = DetectImageFormat(bytes.data(), bytes.size());
    ImageResult result = ReadImage(format, bytes.data(), bytes.size());
    if (!result.ok()) return TellFault(result);
    *image = std::move(result.image);
    ConsoleError(kImageLaidOut, settings.fileName, FormatName(format), static_cast<unsigned long>(image->base),
                 static_cast<unsigned long>(image->base + image->bytes.size() - 1),
                 static_cast<unsigned long>(image->bytes.size()), static_cast<unsigned long>(image->gapBytes));
    if (settings.loadAddressGiven && settings.loadAddress != image->base) {
        ConsoleError(kImageLoadDiffers, static_cast<unsigned long>(settings.loadAddress),
                     static_cast<unsigned long>(image->base));
        return Refused();
    }
    return ChooseRunAddress(*image, runAddress);
}
