// Program images: what objcopy writes from one small program (built for the
// tests, linked at 0x8000) reads back as the same bytes and address that
// `objcopy -O binary` gives, and every malformed file is refused with its
// reason, line or address.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "case_table.h"
#include "crc32.h"
#include "image.h"
#include "program_support.h"

namespace {

ImageResult Read(ImageFormat format, const std::string& text) {
    return ReadImage(format, reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

std::string Hex2(unsigned byte) {
    static const char kDigits[] = "0123456789ABCDEF";
    return {kDigits[(byte >> 4) & 15], kDigits[byte & 15]};
}

// An Intel HEX record with its checksum (or `sum` added to it, to break it).
std::string Ihex(unsigned address, unsigned type, const std::string& data, int sum = 0) {
    std::string bytes = {static_cast<char>(data.size()), static_cast<char>(address >> 8),
                         static_cast<char>(address), static_cast<char>(type)};
    bytes += data;
    unsigned total = 0;
    std::string line = ":";
    for (char c : bytes) total += static_cast<uint8_t>(c), line += Hex2(static_cast<uint8_t>(c));
    return line + Hex2((0x100 - (total & 0xFF) + sum) & 0xFF) + "\n";
}
const std::string kIhexEnd = ":00000001FF\n";

// An S-record with an address of the type's width and its checksum.
std::string Srec(int type, uint32_t address, const std::string& data, int sum = 0) {
    static const int kWidths[10] = {2, 2, 3, 4, 0, 2, 3, 4, 3, 2};
    const int width = kWidths[type];
    std::string bytes(1, static_cast<char>(width + data.size() + 1));
    for (int i = width - 1; i >= 0; --i) bytes += static_cast<char>(address >> (8 * i));
    bytes += data;
    unsigned total = 0;
    std::string line = "S" + std::to_string(type);
    for (char c : bytes) total += static_cast<uint8_t>(c), line += Hex2(static_cast<uint8_t>(c));
    return line + Hex2((~total + sum) & 0xFF) + "\n";
}

// A minimal ELF of either class and byte order: the file header, the
// program headers, then each segment's contents.
struct Segment {
    uint32_t type;
    uint64_t address;
    std::string data;
};

std::string Elf(bool is64, bool bigEndian, const std::vector<Segment>& segments, uint64_t entry = 0x8000) {
    const size_t headerSize = is64 ? 64 : 52, entrySize = is64 ? 56 : 32, word = is64 ? 8 : 4;
    std::string file(headerSize + entrySize * segments.size(), '\0');
    auto put = [&](size_t at, uint64_t value, size_t width) {
        for (size_t i = 0; i < width; ++i)
            file[at + (bigEndian ? width - 1 - i : i)] = static_cast<char>(value >> (8 * i));
    };
    file.replace(0, 7, std::string("\x7F" "ELF") + char(is64 ? 2 : 1) + char(bigEndian ? 2 : 1) + char(1));
    put(16, 2, 2);  // an executable
    put(24, entry, word);
    put(is64 ? 32 : 28, headerSize, word);
    put(is64 ? 54 : 42, entrySize, 2);
    put(is64 ? 56 : 44, segments.size(), 2);
    for (size_t i = 0; i < segments.size(); ++i) {
        const size_t at = headerSize + i * entrySize;
        put(at, segments[i].type, 4);
        put(at + (is64 ? 8 : 4), file.size(), word);                      // p_offset
        put(at + (is64 ? 24 : 12), segments[i].address, word);            // p_paddr
        put(at + (is64 ? 32 : 16), segments[i].data.size(), word);        // p_filesz
        put(at + (is64 ? 40 : 20), segments[i].data.size() + 16, word);   // p_memsz: .bss beyond
        file += segments[i].data;
    }
    return file;
}

// ---- What objcopy made from the test program ----

struct ObjcopyCase {
    const char* name;
    const char* file;  // in the folder the build made them in
    ImageFormat format;
};

CASE_TABLE(ObjcopyTest, ObjcopyCase);

TEST_P(ObjcopyTest, SameBytesAndAddressAsObjcopyBinary) {
    const std::string dir = VELTA_IMAGE_DIR;
    const std::string binary = ReadFile(dir + "/prog.bin");
    ASSERT_GT(binary.size(), 0x100u) << "the test program's .data lies at 0x8100";
    for (ImageFormat format : {GetParam().format, ImageFormat::kAuto}) {
        const ImageResult r = Read(format, ReadFile(dir + "/" + GetParam().file));
        ASSERT_TRUE(r.ok()) << static_cast<int>(r.fault) << " at line " << r.line;
        EXPECT_EQ(r.image.base, 0x8000u);
        EXPECT_EQ(std::string(r.image.bytes.begin(), r.image.bytes.end()), binary);
        EXPECT_TRUE(r.image.hasEntry);
        EXPECT_EQ(r.image.entry, 0x8000u);
    }
}

INSTANTIATE_TEST_SUITE_P(Files, ObjcopyTest,
                         ::testing::Values(ObjcopyCase{"IntelHex", "prog.hex", ImageFormat::kIntelHex},
                                           ObjcopyCase{"SRecord", "prog.srec", ImageFormat::kSRecord},
                                           ObjcopyCase{"Elf64", "prog.elf", ImageFormat::kElf},
                                           ObjcopyCase{"Elf32", "prog32.elf", ImageFormat::kElf}),
                         CaseName());

// ---- Files that lay out, and how ----

struct LayoutCase {
    const char* name;
    ImageFormat format;
    std::string file;
    uint32_t base;
    std::string bytes;
    uint32_t gap;
    bool hasEntry;
    uint32_t entry;
};

const std::vector<LayoutCase>& LayoutCases() {
    static const std::vector<LayoutCase> cases = {
        {"IhexGapFilledWithZeros", ImageFormat::kIntelHex, Ihex(0x1000, 0, "AB") + Ihex(0x1004, 0, "C") + kIhexEnd,
         0x1000, std::string("AB\0\0C", 5), 2, false, 0},
        {"IhexRecordsOutOfOrder", ImageFormat::kIntelHex, Ihex(0x1002, 0, "CD") + Ihex(0x1000, 0, "AB") + kIhexEnd,
         0x1000, "ABCD", 0, false, 0},
        {"IhexLowerCaseAndCrLf", ImageFormat::kIntelHex, ":0200100061622b\r\n:00000001ff\r\n", 0x10, "ab", 0, false, 0},
        {"IhexSegmentBase", ImageFormat::kIntelHex, Ihex(0, 2, std::string("\x01\x00", 2)) + Ihex(0x20, 0, "xy") + kIhexEnd, 0x1020,
         "xy", 0, false, 0},
        // In a segment the offset wraps to the segment's start, 0 here.
        {"IhexSegmentOffsetWraps", ImageFormat::kIntelHex, Ihex(0, 2, std::string(2, '\0')) + Ihex(0xFFFF, 0, "ab") + kIhexEnd, 0, std::string("b", 1) +
         std::string(0xFFFE, '\0') + "a", 0xFFFE, false, 0},
        {"IhexLinearBaseZero", ImageFormat::kIntelHex, Ihex(0, 4, std::string(2, '\0')) + Ihex(0x8000, 0, "z") + kIhexEnd,
         0x8000, "z", 0, false, 0},
        {"IhexStartLinear", ImageFormat::kIntelHex, Ihex(0x100, 0, "q") + Ihex(0, 5, std::string("\0\0\x01\x23", 4)) +
         kIhexEnd, 0x100, "q", 0, true, 0x123},
        {"IhexStartSegment", ImageFormat::kIntelHex, Ihex(0x100, 0, "q") + Ihex(0, 3, std::string("\x00\x10\x00\x05", 4)) +
         kIhexEnd, 0x100, "q", 0, true, 0x105},
        {"IhexAfterEndNotRead", ImageFormat::kIntelHex, Ihex(0x100, 0, "q") + kIhexEnd + "garbage\n", 0x100, "q", 0,
         false, 0},
        {"IhexLastByteBelowLimit", ImageFormat::kIntelHex, Ihex(0xFFFF, 0, "e") + kIhexEnd, 0xFFFF, "e", 0, false, 0},
        {"SrecAddressWidths", ImageFormat::kSRecord,
         Srec(0, 0, "name") + Srec(1, 0x10, "a") + Srec(2, 0x12, "b") + Srec(3, 0x14, "c") + Srec(5, 3, "") +
         Srec(9, 0x10, ""), 0x10, std::string("a\0b\0c", 5), 2, true, 0x10},
        {"SrecS7Entry", ImageFormat::kSRecord, Srec(1, 0x10, "a") + Srec(7, 0x1234, ""), 0x10, "a", 0, true, 0x1234},
        {"ElfSegmentsInAnyOrder", ImageFormat::kElf,
         Elf(true, false, {{1, 0x8010, "late"}, {4, 0, "note"}, {1, 0x8000, "early"}}), 0x8000,
         "early" + std::string(11, '\0') + "late", 11, true, 0x8000},
        {"Elf32BigEndian", ImageFormat::kElf, Elf(false, true, {{1, 0x4000, "big"}}, 0x4001), 0x4000, "big", 0, true,
         0x4001},
        {"Elf64BigEndian", ImageFormat::kElf, Elf(true, true, {{1, 0x4000, "big"}}), 0x4000, "big", 0, true, 0x8000},
        // A segment of .bss alone has no contents: nothing of it is sent.
        {"ElfEmptySegmentSkipped", ImageFormat::kElf, Elf(false, false, {{1, 0x9000, ""}, {1, 0x4000, "x"}}), 0x4000,
         "x", 0, true, 0x8000},
    };
    return cases;
}

CASE_TABLE(LayoutTest, LayoutCase);

TEST_P(LayoutTest, LaysOutFromTheLowestAddress) {
    const LayoutCase& c = GetParam();
    const ImageResult r = Read(c.format, c.file);
    ASSERT_TRUE(r.ok()) << static_cast<int>(r.fault) << " at line " << r.line;
    EXPECT_EQ(r.image.base, c.base);
    EXPECT_EQ(std::string(r.image.bytes.begin(), r.image.bytes.end()), c.bytes);
    EXPECT_EQ(r.image.gapBytes, c.gap);
    EXPECT_EQ(r.image.hasEntry, c.hasEntry);
    if (c.hasEntry) {
        EXPECT_EQ(r.image.entry, c.entry);
    }
}

INSTANTIATE_TEST_SUITE_P(Files, LayoutTest, ::testing::ValuesIn(LayoutCases()),
                         CaseName());

// ---- Malformed files: refused with the reason ----

struct FaultCase {
    const char* name;
    ImageFormat format;
    std::string file;
    ImageFault fault;
    uint32_t line;     // or the address, for kOverlap and kOutOfRange
};

const std::string kData = Ihex(0x100, 0, "abcd");

const std::vector<FaultCase>& FaultCases() {
    static const std::vector<FaultCase> cases = {
        {"IhexBadChecksum", ImageFormat::kIntelHex, kData + Ihex(0x104, 0, "ef", 1) + kIhexEnd, ImageFault::kChecksum, 2},
        {"IhexRecordCutShort", ImageFormat::kIntelHex, kData.substr(0, 12) + "\n" + kIhexEnd,
         ImageFault::kTruncatedRecord, 1},
        {"IhexFileCutShort", ImageFormat::kIntelHex, kData + kData.substr(0, 5), ImageFault::kTruncatedRecord, 2},
        {"IhexNoEndRecord", ImageFormat::kIntelHex, kData + "\n\n", ImageFault::kNoEnd, 1},
        {"IhexEmptyFile", ImageFormat::kIntelHex, "", ImageFault::kNoEnd, 0},
        {"IhexNotHex", ImageFormat::kIntelHex, kData + ":0G00000000\n" + kIhexEnd, ImageFault::kSyntax, 2},
        {"IhexNoColon", ImageFormat::kIntelHex, kData + "00000001FF\n", ImageFault::kSyntax, 2},
        {"IhexLongerThanItsCount", ImageFormat::kIntelHex, ":00000001FF00\n", ImageFault::kSyntax, 1},
        {"IhexUnknownType", ImageFormat::kIntelHex, Ihex(0, 6, "") + kIhexEnd, ImageFault::kRecordType, 1},
        {"IhexBaseOfWrongLength", ImageFormat::kIntelHex, Ihex(0, 4, "\x01") + kIhexEnd, ImageFault::kSyntax, 1},
        {"IhexOverlap", ImageFormat::kIntelHex, kData + Ihex(0x103, 0, "x") + kIhexEnd, ImageFault::kOverlap, 0x103},
        {"IhexAbove64KiB", ImageFormat::kIntelHex, Ihex(0, 4, std::string("\x00\x01", 2)) + Ihex(0, 0, "x") + kIhexEnd,
         ImageFault::kOutOfRange, 0x10000},
        // Without an 02 record the offsets do not wrap.
        {"IhexRunsPastFFFF", ImageFormat::kIntelHex, Ihex(0xFFFF, 0, "xy") + kIhexEnd, ImageFault::kOutOfRange, 0x10000},
        {"IhexOnlyEnd", ImageFormat::kIntelHex, kIhexEnd, ImageFault::kEmpty, 0},
        {"SrecBadChecksum", ImageFormat::kSRecord, Srec(1, 0x10, "ab", 1) + Srec(9, 0, ""), ImageFault::kChecksum, 1},
        {"SrecRecordCutShort", ImageFormat::kSRecord, Srec(1, 0x10, "abc").substr(0, 9) + "\n" + Srec(9, 0, ""),
         ImageFault::kTruncatedRecord, 1},
        {"SrecNoTermination", ImageFormat::kSRecord, Srec(0, 0, "n") + Srec(1, 0x10, "ab"), ImageFault::kNoEnd, 2},
        {"SrecS4", ImageFormat::kSRecord, "S4030000FC\n" + Srec(9, 0, ""), ImageFault::kRecordType, 1},
        {"SrecCountTooShortForAddress", ImageFormat::kSRecord, "S10200FD\n", ImageFault::kSyntax, 1},
        {"SrecWrongRecordCount", ImageFormat::kSRecord, Srec(1, 0x10, "a") + Srec(5, 2, "") + Srec(9, 0, ""),
         ImageFault::kRecordCount, 2},
        {"SrecNotHex", ImageFormat::kSRecord, "S1zz\n", ImageFault::kSyntax, 1},
        {"SrecOverlap", ImageFormat::kSRecord, Srec(1, 0x10, "abc") + Srec(1, 0x11, "x") + Srec(9, 0, ""),
         ImageFault::kOverlap, 0x11},
        {"SrecAbove64KiB", ImageFormat::kSRecord, Srec(2, 0x10000, "x") + Srec(8, 0, ""), ImageFault::kOutOfRange,
         0x10000},
        {"SrecAddressWraps32Bits", ImageFormat::kSRecord, Srec(3, 0xFFFFFFFF, "xy") + Srec(7, 0, ""),
         ImageFault::kOutOfRange, 0xFFFFFFFF},
        {"ElfBadMagic", ImageFormat::kElf, "\x7F" "ELG" + std::string(60, '\0'), ImageFault::kNotElf, 0},
        {"ElfBadClass", ImageFormat::kElf, "\x7F" "ELF\x03\x01\x01" + std::string(60, '\0'), ImageFault::kNotElf, 0},
        {"ElfHeaderCutShort", ImageFormat::kElf, Elf(true, false, {{1, 0x8000, "x"}}).substr(0, 40),
         ImageFault::kElfTruncated, 0},
        {"ElfProgramHeadersCutShort", ImageFormat::kElf, Elf(true, false, {{1, 0x8000, ""}}).substr(0, 80),
         ImageFault::kElfTruncated, 0},
        {"ElfSegmentCutShort", ImageFormat::kElf, Elf(false, false, {{1, 0x8000, "abcdef"}}).substr(0, 52 + 32 + 3),
         ImageFault::kElfTruncated, 0},
        {"ElfNoLoadableSegment", ImageFormat::kElf, Elf(true, false, {{4, 0x8000, "note"}}), ImageFault::kNoLoadable, 0},
        {"ElfNoProgramHeaders", ImageFormat::kElf, Elf(true, false, {}), ImageFault::kNoLoadable, 0},
        {"ElfOverlap", ImageFormat::kElf, Elf(true, false, {{1, 0x8000, "abcd"}, {1, 0x8002, "x"}}),
         ImageFault::kOverlap, 0x8002},
        {"ElfAbove64KiB", ImageFormat::kElf, Elf(true, false, {{1, 0x8000000000ull, "x"}}), ImageFault::kOutOfRange,
         0xFFFFFFFF},
        {"AutoOnAPlainBinary", ImageFormat::kAuto, std::string("\x12\x34\x56", 3), ImageFault::kSyntax, 1},
    };
    return cases;
}

CASE_TABLE(FaultTest, FaultCase);

TEST_P(FaultTest, RefusedWithTheReason) {
    const FaultCase& c = GetParam();
    const ImageResult r = Read(c.format, c.file);
    EXPECT_EQ(static_cast<int>(r.fault), static_cast<int>(c.fault));
    const bool atAddress = c.fault == ImageFault::kOverlap || c.fault == ImageFault::kOutOfRange;
    EXPECT_EQ(atAddress ? r.address : r.line, c.line);
    EXPECT_TRUE(r.image.bytes.empty());
}

INSTANTIATE_TEST_SUITE_P(Files, FaultTest, ::testing::ValuesIn(FaultCases()),
                         CaseName());

// The CRC-32 both programs print is the zlib one: its check values.
TEST(Crc32, KnownValues) {
    for (const auto& c : {std::make_pair(std::string(), 0x00000000u), std::make_pair(std::string("a"), 0xE8B7BE43u),
                          std::make_pair(std::string("123456789"), 0xCBF43926u)}) {
        Crc32 crc;
        crc.Add(reinterpret_cast<const uint8_t*>(c.first.data()), c.first.size());
        EXPECT_EQ(crc.Value(), c.second) << c.first;
    }
}

}  // namespace
