// Sending program images (--from) as a process: what objcopy makes of the
// test program goes on the line exactly as `objcopy -O binary` plus -S8000
// does, and a malformed file is refused with its reason on the error stream
// and nothing on the line.
#include <gtest/gtest.h>

#include <functional>

#include "case_table.h"
#include "crc32.h"
#include "program_support.h"

namespace {

const std::string kImages = VELTA_IMAGE_DIR;

std::string Image(const char* name) { return ReadFile(kImages + "/" + name); }

// What `velta prog.bin -S8000` puts on the line.
std::string BinaryLine(uint16_t run = 0) {
    const std::string binary = Image("prog.bin");
    return HeaderBytes(static_cast<uint32_t>(binary.size() + 16), 0x8000, run) + binary;
}

struct ImageCase {
    const char* name;
    const char* file;
    std::vector<std::string> options;
    uint16_t run;
};

CASE_TABLE(ImageSendTest, ImageCase);

TEST_P(ImageSendTest, SameLineAsTheBinaryWithS8000) {
    const ImageCase& c = GetParam();
    Pty pty;
    const LineRun run = RunSend(pty, Joined({kImages + "/" + c.file, "--exit-status"}, c.options));
    EXPECT_EQ(run.process.exitCode, 0) << run.process.errors;
    EXPECT_EQ(run.line, BinaryLine(c.run));
    const std::string binary = Image("prog.bin");
    EXPECT_EQ(run.process.output.rfind(CurrentTarget().Console(
                  Banner() + Format("load addr:80%02X run addr:%04X size:%06lX\n", 0, c.run,
                                    static_cast<unsigned long>(binary.size()))),
                                       0),
              0u)
        << run.process.output;
    EXPECT_NE(run.process.errors.find(LineTallyText(run.line, true)), std::string::npos) << run.process.errors;
}

INSTANTIATE_TEST_SUITE_P(
    Files, ImageSendTest,
    ::testing::Values(ImageCase{"IntelHex", "prog.hex", {"--from", "ihex"}, 0},
                      ImageCase{"SRecord", "prog.srec", {"--from=srec"}, 0},
                      ImageCase{"Elf", "prog.elf", {"--from", "elf"}, 0},
                      ImageCase{"Elf32", "prog32.elf", {"--from", "elf"}, 0},
                      ImageCase{"AutoTellsThemApart", "prog.srec", {"--from", "auto"}, 0},
                      ImageCase{"AgreeingLoadAddress", "prog.hex", {"--from", "ihex", "-S8000"}, 0},
                      ImageCase{"RunAddressFromTheEntry", "prog.elf", {"--from", "elf", "--run-address", "entry"},
                                0x8000},
                      ImageCase{"RunAddressGiven", "prog.hex", {"--from", "ihex", "--run-address", "8004"}, 0x8004}),
    CaseName());

// The one line the reason takes on the error stream.
struct RefusedCase {
    const char* name;
    std::string file;
    std::vector<std::string> options;
    std::function<std::string(const std::string& name)> reason;
};

CASE_TABLE(ImageRefusalTest, RefusedCase);

TEST_P(ImageRefusalTest, ReasonOnTheErrorStreamAndNothingOnTheLine) {
    const RefusedCase& c = GetParam();
    Pty pty;
    ScratchDir dir;
    const std::string name = dir.File("f.img", c.file);
    const LineRun run = RunSend(pty, Joined({name, "--exit-status"}, c.options));
    EXPECT_EQ(run.process.exitCode, 5);
    EXPECT_EQ(run.line, "");
    EXPECT_EQ(run.process.output, CurrentTarget().Console(Banner() + kAborted));
    EXPECT_NE(run.process.errors.find(c.reason(name)), std::string::npos) << run.process.errors;
}

std::string AtLine(const std::string& name, unsigned long line, const char* reason) {
    return Format(kImageFaultAtLine, name.c_str(), line) + reason;
}

const std::string kHex = ":048000000102030472\n:00000001FF\n";

INSTANTIATE_TEST_SUITE_P(
    Files, ImageRefusalTest,
    ::testing::Values(
        RefusedCase{"BadChecksum", ":048000000102030473\n:00000001FF\n", {"--from", "ihex"},
                    [](const std::string& n) { return AtLine(n, 1, kImageChecksum); }},
        RefusedCase{"CutShort", kHex.substr(0, 25), {"--from", "ihex"},
                    [](const std::string& n) { return AtLine(n, 2, kImageTruncatedRecord); }},
        RefusedCase{"NoEndRecord", kHex.substr(0, 20), {"--from", "ihex"},
                    [](const std::string& n) { return AtLine(n, 1, kImageNoEnd); }},
        RefusedCase{"Above64KiB", "S2060100000102F5\nS804000000FB\n", {"--from", "srec"},
                    [](const std::string& n) {
                        return Format(kImageFaultAtAddress, n.c_str(), 0x10000ul) + kImageOutOfRange;
                    }},
        RefusedCase{"Overlap", ":048000000102030472\n:018002000974\n:00000001FF\n", {"--from", "ihex"},
                    [](const std::string& n) {
                        return Format(kImageFaultAtAddress, n.c_str(), 0x8002ul) + kImageOverlap;
                    }},
        RefusedCase{"NotElf", "\x7F" "ELF\x05", {"--from", "elf"},
                    [](const std::string& n) { return n + ": " + kImageNotElf; }},
        RefusedCase{"DisagreeingLoadAddress", kHex, {"--from", "ihex", "-S4000"},
                    [](const std::string&) { return Format(kImageLoadDiffers, 0x4000ul, 0x8000ul); }},
        RefusedCase{"NoEntryForTheRunAddress", kHex, {"--from", "ihex", "--run-address", "entry"},
                    [](const std::string& n) { return Format(kImageNoEntry, n.c_str()); }}),
    CaseName());

}  // namespace
