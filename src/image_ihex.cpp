// transfer: the Intel HEX reader. A record is ':' then pairs of hexadecimal
// digits: byte count, 16-bit offset, type, data, and a checksum that makes
// all its bytes sum to 0 modulo 256. Types: 00 data, 01 end of file, 02
// extended segment address (base = value * 16; offsets wrap within the 64
// KiB segment), 03 start segment address (CS:IP), 04 extended linear
// address (the upper 16 bits), 05 start linear address.
#include "image.h"

namespace {

enum RecordType : uint8_t {
    kData = 0,
    kEndOfFile = 1,
    kSegmentBase = 2,
    kSegmentStart = 3,
    kLinearBase = 4,
    kLinearStart = 5,
};

// The payload length each type must have; -1 for any.
int PayloadLength(uint8_t type) {
    switch (type) {
        case kData: return -1;
        case kEndOfFile: return 0;
        case kSegmentBase: case kLinearBase: return 2;
        case kSegmentStart: case kLinearStart: return 4;
        default: return -2;
    }
}

struct Reader : image_text::RecordReader {
    uint32_t base = 0;         // from an 02 or 04 record
    bool segmented = false;    // 02: offsets wrap at 64 KiB within the segment

    // Data at offset: in a segment the offsets past 0xFFFF wrap to its start.
    bool AddData(uint32_t line, uint16_t offset, const uint8_t* data, size_t count) {
        size_t first = count;
        if (segmented && offset + count > 0x10000) first = 0x10000 - offset;
        if (!builder.Add(uint64_t(base) + offset, data, first, &result) ||
            !builder.Add(base, data + first, count - first, &result))
            return Fail(result.fault, line);
        return true;
    }

    bool Record(uint32_t line, const uint8_t* text, size_t length) {
        if (text[0] != ':' || length < 3) return Fail(ImageFault::kSyntax, line);
        const int high = image_text::HexValue(text[1]), low = image_text::HexValue(text[2]);
        if (high < 0 || low < 0) return Fail(ImageFault::kSyntax, line);
        const size_t count = static_cast<size_t>(high << 4 | low);
        const size_t expected = 1 + 2 * (count + 5);
        if (length < expected) return Fail(ImageFault::kTruncatedRecord, line);
        if (length > expected) return Fail(ImageFault::kSyntax, line);
        if (!image_text::HexBytes(text + 1, count + 5, &record)) return Fail(ImageFault::kSyntax, line);
        uint8_t sum = 0;
        for (uint8_t byte : record) sum = static_cast<uint8_t>(sum + byte);
        if (sum != 0) return Fail(ImageFault::kChecksum, line);
        const uint8_t type = record[3];
        const int payload = PayloadLength(type);
        if (payload == -2) return Fail(ImageFault::kRecordType, line);
        if (payload >= 0 && count != static_cast<size_t>(payload)) return Fail(ImageFault::kSyntax, line);
        const uint8_t* d = record.data() + 4;
        const uint32_t value16 = count >= 2 ? uint32_t(d[0]) << 8 | d[1] : 0;
        const uint32_t value32 = count >= 4 ? value16 << 16 | uint32_t(d[2]) << 8 | d[3] : 0;
        switch (type) {
            case kData: return AddData(line, static_cast<uint16_t>(record[1] << 8 | record[2]), d, count);
            case kEndOfFile: ended = true; return false;
            case kSegmentBase: base = value16 << 4, segmented = true; return true;
            case kLinearBase: base = value16 << 16, segmented = false; return true;
            case kSegmentStart:
                result.image.entry = (value32 >> 16) * 16 + (value32 & 0xFFFF);
                result.image.hasEntry = true;
                return true;
            case kLinearStart:
                result.image.entry = value32;
                result.image.hasEntry = true;
                return true;
        }
        return true;
    }
};

}  // namespace

ImageResult ReadIntelHex(const uint8_t* data, size_t size) {
    Reader reader;
    return image_text::ReadRecords(data, size, reader);
}
