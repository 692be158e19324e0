// transfer: the Motorola S-record reader. A record is 'S', a type digit,
// then pairs of hexadecimal digits: a count of the bytes that follow it
// (address, data, checksum), the address, the data, and a checksum that is
// the ones' complement of the low byte of the sum of count, address and
// data. Types: S0 header (ignored), S1/S2/S3 data at a 16/24/32-bit
// address, S5/S6 the number of data records so far, S7/S8/S9 the end, with
// the start address in 32/24/16 bits.
#include "image.h"

namespace {

// The address width in bytes of each type; 0 for S4, which does not exist.
int AddressBytes(int type) {
    static const int kWidths[10] = {2, 2, 3, 4, 0, 2, 3, 4, 3, 2};
    return kWidths[type];
}

struct Reader : image_text::RecordReader {
    uint32_t dataRecords = 0;

    bool Record(uint32_t line, const uint8_t* text, size_t length) {
        if (text[0] != 'S' || length < 4 || text[1] < '0' || text[1] > '9') return Fail(ImageFault::kSyntax, line);
        const int type = text[1] - '0';
        const int width = AddressBytes(type);
        if (width == 0) return Fail(ImageFault::kRecordType, line);
        const int high = image_text::HexValue(text[2]), low = image_text::HexValue(text[3]);
        if (high < 0 || low < 0) return Fail(ImageFault::kSyntax, line);
        const size_t count = static_cast<size_t>(high << 4 | low);
        const size_t expected = 4 + 2 * count;
        if (length < expected) return Fail(ImageFault::kTruncatedRecord, line);
        if (length > expected || count < static_cast<size_t>(width) + 1) return Fail(ImageFault::kSyntax, line);
        if (!image_text::HexBytes(text + 2, count + 1, &record)) return Fail(ImageFault::kSyntax, line);
        uint8_t sum = 0;
        for (uint8_t byte : record) sum = static_cast<uint8_t>(sum + byte);
        if (sum != 0xFF) return Fail(ImageFault::kChecksum, line);
        uint32_t address = 0;
        for (int i = 0; i < width; ++i) address = address << 8 | record[1 + i];
        const uint8_t* data = record.data() + 1 + width;
        const size_t dataCount = count - 1 - static_cast<size_t>(width);
        switch (type) {
            case 1: case 2: case 3:
                ++dataRecords;
                if (!builder.Add(address, data, dataCount, &result)) return Fail(result.fault, line);
                return true;
            case 5: case 6:
                if (address != dataRecords) return Fail(ImageFault::kRecordCount, line);
                return true;
            case 7: case 8: case 9:
                result.image.entry = address;
                result.image.hasEntry = true;
                ended = true;
                return false;
            default:
                return true;  // S0: a name, not data
        }
    }
};

}  // namespace

ImageResult ReadSRecord(const uint8_t* data, size_t size) {
    Reader reader;
    return image_text::ReadRecords(data, size, reader);
}
