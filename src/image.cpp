// transfer: what the three image readers share: laying pieces out as one
// image the way `objcopy -O binary` does (from the lowest address, gaps
// filled with 0x00), the checks the 16-bit header needs, and the choice of
// reader.
#include "image.h"

#include <algorithm>
#include <cstring>

bool ImageBuilder::Add(uint64_t address, const uint8_t* bytes, size_t count, ImageResult* result) {
    if (count == 0) return true;
    if (address >= kImageLimit || count > kImageLimit - address) {
        result->fault = ImageFault::kOutOfRange;
        // The first byte beyond the limit, as far as 32 bits can tell it.
        result->address = static_cast<uint32_t>(std::min<uint64_t>(std::max<uint64_t>(address, kImageLimit), 0xFFFFFFFF));
        return false;
    }
    pieces_.push_back({static_cast<uint32_t>(address), std::vector<uint8_t>(bytes, bytes + count)});
    return true;
}

void ImageBuilder::Finish(ImageResult* result) {
    if (pieces_.empty()) {
        result->fault = ImageFault::kEmpty;
        return;
    }
    std::stable_sort(pieces_.begin(), pieces_.end(),
                     [](const Piece& a, const Piece& b) { return a.address < b.address; });
    uint32_t end = pieces_.front().address;
    for (const Piece& piece : pieces_) {
        if (piece.address < end) {
            result->fault = ImageFault::kOverlap;
            result->address = piece.address;
            return;
        }
        end = piece.address + static_cast<uint32_t>(piece.bytes.size());
    }
    LoadImage& image = result->image;
    image.base = pieces_.front().address;
    image.bytes.assign(end - image.base, 0x00);
    uint32_t filled = 0;
    for (const Piece& piece : pieces_) {
        std::memcpy(image.bytes.data() + (piece.address - image.base), piece.bytes.data(), piece.bytes.size());
        filled += static_cast<uint32_t>(piece.bytes.size());
    }
    image.gapBytes = static_cast<uint32_t>(image.bytes.size()) - filled;
}

namespace image_text {

int HexValue(uint8_t c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

bool HexBytes(const uint8_t* text, size_t count, std::vector<uint8_t>* out) {
    out->clear();
    for (size_t i = 0; i < count; ++i) {
        const int high = HexValue(text[2 * i]), low = HexValue(text[2 * i + 1]);
        if (high < 0 || low < 0) return false;
        out->push_back(static_cast<uint8_t>(high << 4 | low));
    }
    return true;
}

}  // namespace image_text

ImageFormat DetectImageFormat(const uint8_t* data, size_t size) {
    if (size >= 4 && data[0] == 0x7F && data[1] == 'E' && data[2] == 'L' && data[3] == 'F') return ImageFormat::kElf;
    size_t i = 0;
    while (i < size && (data[i] == ' ' || data[i] == '\t' || data[i] == '\r' || data[i] == '\n')) ++i;
    if (i < size && data[i] == ':') return ImageFormat::kIntelHex;
    if (i + 1 < size && data[i] == 'S' && data[i + 1] >= '0' && data[i + 1] <= '9') return ImageFormat::kSRecord;
    return ImageFormat::kBinary;
}

ImageResult ReadImage(ImageFormat format, const uint8_t* data, size_t size) {
    if (format == ImageFormat::kAuto) format = DetectImageFormat(data, size);
    switch (format) {
        case ImageFormat::kIntelHex: return ReadIntelHex(data, size);
        case ImageFormat::kSRecord: return ReadSRecord(data, size);
        case ImageFormat::kElf: return ReadElf(data, size);
        case ImageFormat::kBinary:
        case ImageFormat::kAuto: break;
    }
    ImageResult result;
    result.fault = ImageFault::kSyntax;
    result.line = 1;
    return result;
}
