// transfer: the ELF reader. The image is the file contents (p_filesz bytes
// from p_offset) of every PT_LOAD segment, at its physical address
// (p_paddr), which is where a loader puts it; the zeroed rest of a segment
// (.bss, p_memsz beyond p_filesz) is the program's own start-up work and is
// not sent. 32- and 64-bit files of either byte order are read; the entry
// point is e_entry.
#include "image.h"

namespace {

constexpr uint32_t kPtLoad = 1;

// Reads little- or big-endian fields of a file whose bounds were checked.
struct Fields {
    const uint8_t* data;
    bool bigEndian;

    uint64_t Get(size_t offset, int width) const {
        uint64_t value = 0;
        for (int i = 0; i < width; ++i) {
            const int at = bigEndian ? i : width - 1 - i;
            value = value << 8 | data[offset + at];
        }
        return value;
    }
};

// Where a class puts each field: offsets in the file header and in a
// program header, and the width of an address.
struct Layout {
    size_t headerSize, entry, phoff, phentsize, phnum;
    size_t type, offset, paddr, filesz, entrySize;
    int word;
};

constexpr Layout kElf32 = {52, 24, 28, 42, 44, 0, 4, 12, 16, 32, 4};
constexpr Layout kElf64 = {64, 24, 32, 54, 56, 0, 8, 24, 32, 56, 8};

ImageResult Fault(ImageFault fault) {
    ImageResult result;
    result.fault = fault;
    return result;
}

}  // namespace

ImageResult ReadElf(const uint8_t* data, size_t size) {
    if (size < 16 || data[0] != 0x7F || data[1] != 'E' || data[2] != 'L' || data[3] != 'F') return Fault(ImageFault::kNotElf);
    if ((data[4] != 1 && data[4] != 2) || (data[5] != 1 && data[5] != 2) || data[6] != 1)
        return Fault(ImageFault::kNotElf);
    const Layout& l = data[4] == 1 ? kElf32 : kElf64;
    if (size < l.headerSize) return Fault(ImageFault::kElfTruncated);
    const Fields f = {data, data[5] == 2};
    const uint64_t phoff = f.Get(l.phoff, l.word);
    const uint64_t phentsize = f.Get(l.phentsize, 2);
    const uint64_t phnum = f.Get(l.phnum, 2);
    if (phnum > 0 && phentsize < l.entrySize) return Fault(ImageFault::kNotElf);
    if (phoff > size || phnum * phentsize > size - phoff) return Fault(ImageFault::kElfTruncated);
    ImageResult result;
    ImageBuilder builder;
    for (uint64_t i = 0; i < phnum; ++i) {
        const size_t at = static_cast<size_t>(phoff + i * phentsize);
        if (f.Get(at + l.type, 4) != kPtLoad) continue;
        const uint64_t offset = f.Get(at + l.offset, l.word);
        const uint64_t filesz = f.Get(at + l.filesz, l.word);
        if (offset > size || filesz > size - offset) return Fault(ImageFault::kElfTruncated);
        if (!builder.Add(f.Get(at + l.paddr, l.word), data + offset, static_cast<size_t>(filesz), &result))
            return result;
    }
    builder.Finish(&result);
    if (result.fault == ImageFault::kEmpty) result.fault = ImageFault::kNoLoadable;
    if (!result.ok()) return result;
    result.image.entry = static_cast<uint32_t>(std::min<uint64_t>(f.Get(l.entry, l.word), 0xFFFFFFFFu));
    result.image.hasEntry = true;
    return result;
}
