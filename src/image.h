// transfer: program images read from what cross toolchains write (Intel HEX,
// Motorola S-records, ELF), so that a user can send a build's output as it
// is instead of running objcopy and copying its address into -S by hand.
// Each reader is a pure function from the file's bytes to the image or the
// reason it cannot be one: no I/O, no globals, nothing kept between calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// The header carries 16-bit addresses: every byte must lie below this.
constexpr uint32_t kImageLimit = 0x10000;

enum class ImageFormat { kBinary, kAuto, kIntelHex, kSRecord, kElf };

enum class ImageFault {
    kNone,
    kSyntax,           // not a record of the format (start code, hex digits, length)
    kChecksum,         // a record whose checksum does not match
    kTruncatedRecord,  // a record shorter than its own byte count says
    kRecordType,       // a record type the format does not have
    kNoEnd,            // the file ends before its end record: cut short
    kRecordCount,      // an S5/S6 count that disagrees with the data records
    kOverlap,          // two records or segments write the same address
    kOutOfRange,       // a byte at or above 0x10000
    kEmpty,            // no data at all
    kNotElf,           // bad magic, class, byte order or version
    kElfTruncated,     // a table or segment beyond the end of the file
    kNoLoadable,       // an ELF without a loadable segment that has contents
};

struct LoadImage {
    uint32_t base = 0;           // the lowest address: the header's load address
    std::vector<uint8_t> bytes;  // from base on, gaps filled with 0x00
    uint32_t gapBytes = 0;       // how many of them are filling
    bool hasEntry = false;       // the file gave a start address
    uint32_t entry = 0;
};

struct ImageResult {
    ImageFault fault = ImageFault::kNone;
    uint32_t line = 0;     // text formats: the line of the fault (from 1); 0 when none
    uint32_t address = 0;  // kOverlap, kOutOfRange: the address concerned
    LoadImage image;
    bool ok() const { return fault == ImageFault::kNone; }
};

ImageResult ReadIntelHex(const uint8_t* data, size_t size);
ImageResult ReadSRecord(const uint8_t* data, size_t size);
ImageResult ReadElf(const uint8_t* data, size_t size);

// By content: the ELF magic, or the first non-blank character ':' (Intel
// HEX) or 'S' (S-record); kBinary for anything else.
ImageFormat DetectImageFormat(const uint8_t* data, size_t size);

// The reader of format (kAuto detects first); kBinary yields kSyntax.
ImageResult ReadImage(ImageFormat format, const uint8_t* data, size_t size);

// Collects the pieces a reader finds and lays them out as one image.
class ImageBuilder {
public:
    // False (with *result's fault and address set) when a byte of the piece
    // lies at or above 0x10000. Empty pieces are ignored.
    bool Add(uint64_t address, const uint8_t* bytes, size_t count, ImageResult* result);
    // Lays the pieces out; kOverlap or kEmpty in result when they cannot be one.
    void Finish(ImageResult* result);

private:
    struct Piece {
        uint32_t address;
        std::vector<uint8_t> bytes;
    };
    std::vector<Piece> pieces_;
};

// Text formats: hexadecimal digits and the lines they stand on.
namespace image_text {
int HexValue(uint8_t c);  // 0..15, or -1
// The bytes of the hexadecimal pairs text[0 .. 2*count-1]; false on a non-digit.
bool HexBytes(const uint8_t* text, size_t count, std::vector<uint8_t>* out);
// Splits data into lines (CR, LF or CR LF), trimming trailing blanks; calls
// visit(line number, begin, length) for each non-empty line until it
// returns false. False when visit stopped it.
template <typename Visit>
bool ForEachLine(const uint8_t* data, size_t size, Visit visit) {
    uint32_t number = 0;
    size_t start = 0;
    while (start < size) {
        size_t end = start;
        while (end < size && data[end] != '\n' && data[end] != '\r') ++end;
        ++number;
        size_t length = end - start;
        while (length > 0 && (data[start + length - 1] == ' ' || data[start + length - 1] == '\t')) --length;
        if (length > 0 && !visit(number, data + start, length)) return false;
        if (end + 1 < size && data[end] == '\r' && data[end + 1] == '\n') ++end;
        start = end + 1;
    }
    return true;
}

// What a line-by-line reader keeps; Record(line, text, length) is its own.
struct RecordReader {
    ImageResult result;
    ImageBuilder builder;
    bool ended = false;           // the end record was read
    std::vector<uint8_t> record;  // the bytes of the record at hand

    bool Fail(ImageFault fault, uint32_t line) {
        result.fault = fault;
        result.line = line;
        return false;
    }
};

// Feeds every line to reader.Record until it returns false (a fault, or the
// end record: what follows that is not read, as loaders do). Then the
// image, or kNoEnd on the last line when the file stopped first.
template <typename Reader>
ImageResult ReadRecords(const uint8_t* data, size_t size, Reader& reader) {
    uint32_t lastLine = 0;
    ForEachLine(data, size, [&](uint32_t line, const uint8_t* text, size_t length) {
        lastLine = line;
        return reader.Record(line, text, length);
    });
    if (reader.result.ok() && !reader.ended) reader.Fail(ImageFault::kNoEnd, lastLine);
    if (reader.result.ok()) reader.builder.Finish(&reader.result);
    return reader.result;
}
}  // namespace image_text
