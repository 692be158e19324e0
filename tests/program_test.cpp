// The program as a process: exit statuses, console bytes, and what it puts
// on the line or in the file, with a pseudo-terminal playing the device.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <iconv.h>
#include <signal.h>
#include <unistd.h>

#include "comm.h"
#include "case_table.h"
#include "program_support.h"

namespace {

const std::string kHeader1000At4000 = Bytes({0xFF, 0xFE, 0x4D, 0xF8, 0x03, 0, 0, 0, 0, 0x40, 0, 0, 0, 0, 0, 0});

std::string HeaderMarks() {
    std::string out;
    for (int i = 0; i < 16; ++i) out += std::string(kHeaderByteWriting) + kHeaderByteSent;
    return out;
}

// ---- command line and driver ----

struct UsageCase {
    const char* name;
    std::vector<std::string> args;
};

CASE_TABLE(UsageErrorTest, UsageCase);

TEST_P(UsageErrorTest, PrintsBannerAndUsageAndEndsWithMinusOne) {
    ProcessResult r = RunProgram(GetParam().args);
    EXPECT_EQ(r.exitCode, 255);
    EXPECT_EQ(r.output, CurrentTarget().Console(Banner() + Usage()));
}

INSTANTIATE_TEST_SUITE_P(CommandLine, UsageErrorTest,
                         ::testing::Values(UsageCase{"NoArguments", {}}, UsageCase{"ModeMissing", {"f", "-M"}},
                                           UsageCase{"ModeUnknown", {"f", "-MX"}},
                                           UsageCase{"RateTooHigh", {"f", "-B38401"}},
                                           UsageCase{"RateZero", {"f", "-MR", "-B0"}},
                                           UsageCase{"RateMissing", {"f", "-B"}}),
                         CaseName());

TEST(Driver, MissingPortIsReportedBeforeTheFileIsTouched) {
    ScratchDir dir;
    std::string keep = dir.File("keep.bin", "precious");
    ProcessResult r = RunProgram({keep, "-MR", CurrentTarget().PortOption(dir.Path("no-such-port"))});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.output, CurrentTarget().Console(Banner() + kOpenFailed));
    EXPECT_EQ(ReadFile(keep), "precious");
}

TEST(Driver, FileThatCannotBeOpenedReleasesThePort) {
    Pty pty;
    ScratchDir dir;
    for (const char* mode : {"-MS", "-MR"}) {
        std::string name = dir.Path("missing-dir/file.bin");
        ProcessResult r = RunProgram({name, mode, CurrentTarget().PortOption(pty.path())});
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_EQ(r.output, CurrentTarget().Console(Banner() + Format(kCannotOpen, name.c_str())));
        EXPECT_TRUE(PortIsFree(pty)) << mode;  // free again at once
    }
}

std::string ToUtf8(const std::string& cp932) {
    iconv_t cd = iconv_open("UTF-8", "CP932");
    std::string out(cp932.size() * 3, '\0');
    char* in = const_cast<char*>(cp932.data());
    char* o = &out[0];
    size_t inLeft = cp932.size(), outLeft = out.size();
    iconv(cd, &in, &inLeft, &o, &outLeft);
    iconv_close(cd);
    out.resize(out.size() - outLeft);
    return out;
}

TEST(Console, UnderAUtf8LocaleTheTextsAreConvertedButArgumentsAreNot) {
    if (CurrentTarget().Name() != "native") GTEST_SKIP() << "locale conversion is the POSIX console's";
    ProcessResult r = RunProgram({}, {"LC_ALL=C.UTF-8"});
    EXPECT_EQ(r.exitCode, 255);
    EXPECT_EQ(r.output, ToUtf8(Banner() + Usage()));
    EXPECT_NE(r.output.find("\xE3\x83\x95\xE3\x83\xAD\xE3\x83\xBC"), std::string::npos);  // フロー
    ScratchDir dir;
    std::string name = dir.Path("\xC3\xA9t\xC3\xA9/x");  // a UTF-8 file name passes unchanged
    Pty pty;
    r = RunProgram({name, CurrentTarget().PortOption(pty.path())}, {"LC_ALL=C.UTF-8"});
    EXPECT_EQ(r.output, ToUtf8(Banner()) + name + ToUtf8(Format(kCannotOpen, "")).substr(0));
}

// ---- sending ----

TEST(Send, BinaryWithGeneratedHeaderPutsExactBytesAndTextsOut) {
    Pty pty;
    ScratchDir dir;
    std::string data = Pattern(1000);
    LineRun run = RunSend(pty, {dir.File("game.bin", data), "-MS", "-B19200", "-S4000"});
    EXPECT_EQ(run.process.exitCode, 1);
    EXPECT_EQ(run.line, kHeader1000At4000 + data);
    EXPECT_EQ(run.process.output,
              CurrentTarget().Console(Banner() + "load addr:4000 run addr:0000 size:0003E8\n" + HeaderMarks() +
                                      kSendFrame + std::string(10, 'o') + kSendDone));
}

struct LineCase {
    const char* name;
    std::string file;
    std::vector<std::string> options;
    std::string line;     // what the device must receive
    std::string console;  // the line after the banner, before the header marks
};

CASE_TABLE(SendLineTest, LineCase);

TEST_P(SendLineTest, DeviceReceivesExactly) {
    const LineCase& c = GetParam();
    Pty pty;
    ScratchDir dir;
    LineRun run = RunSend(pty, Joined({dir.File("f.bin", c.file)}, c.options));
    EXPECT_EQ(run.process.exitCode, 1);
    EXPECT_EQ(run.line, c.line);
    EXPECT_EQ(run.process.output.rfind(CurrentTarget().Console(Banner() + c.console), 0), 0u) << run.process.output;
    EXPECT_NE(run.process.output.find(kSendDone), std::string::npos);
}

const std::string kData20 = Pattern(20, 1);
const std::string kTrailing40 = Pattern(40, 2);
const std::string kStored = HeaderBytes(36, 0x1234, 0x5678) + kData20 + kTrailing40;

INSTANTIATE_TEST_SUITE_P(
    Cases, SendLineTest,
    ::testing::Values(
        LineCase{"NoStoredHeader", kData20, {}, HeaderBytes(36, 0x2000) + kData20,
                 "load addr:2000 run addr:0000 size:000014\n"},
        LineCase{"NoStoredHeaderDashN", kData20, {"-N"}, kData20, "load addr:2000 run addr:0000 size:000014\n"},
        LineCase{"StoredHeader", kStored, {}, HeaderBytes(36, 0x1234, 0x5678) + kData20,
                 "load addr:1234 run addr:5678 size:000014\n"},
        // -N with a stored header: the header is read, not sent, and the
        // data it announces follows, nothing more.
        LineCase{"StoredHeaderDashN", kStored, {"-N"}, kData20,
                 "load addr:1234 run addr:5678 size:000014\n"},
        LineCase{"StoredHeaderWithS", kStored, {"-S0xBEEF"}, HeaderBytes(36, 0xBEEF, 0x5678) + kData20,
                 "load addr:BEEF run addr:5678 size:000014\n"},
        LineCase{"RunAddressInTheGeneratedHeader", kData20, {"--run-address", "1F00"},
                 HeaderBytes(36, 0x2000, 0x1F00) + kData20, "load addr:2000 run addr:1F00 size:000014\n"},
        LineCase{"RunAddressReplacesTheStoredOne", kStored, {"--run-address=ABCD"},
                 HeaderBytes(36, 0x1234, 0xABCD) + kData20, "load addr:1234 run addr:ABCD size:000014\n"},
        LineCase{"LoadAddressKeepsLow16Bits", kData20, {"-S12345"}, HeaderBytes(36, 0x2345) + kData20,
                 "load addr:2345 run addr:0000 size:000014\n"},
        LineCase{"EmptyBinary", "", {}, HeaderBytes(16, 0x2000), "load addr:2000 run addr:0000 size:000000\n"},
        LineCase{"FileIsJustAHeader", HeaderBytes(16, 0x4000), {}, HeaderBytes(16, 0x4000),
                 "load addr:4000 run addr:0000 size:000000\n"},
        LineCase{"FifteenBytesIsNoHeader", HeaderBytes(16, 0x4000).substr(0, 15), {},
                 HeaderBytes(31, 0x2000) + HeaderBytes(16, 0x4000).substr(0, 15),
                 "load addr:2000 run addr:0000 size:00000F\n"},
        LineCase{"WrongMagicIsNoHeader", Bytes({0xFF, 0xFE, 0x4E}) + Pattern(13), {},
                 HeaderBytes(32, 0x2000) + Bytes({0xFF, 0xFE, 0x4E}) + Pattern(13),
                 "load addr:2000 run addr:0000 size:000010\n"},
        LineCase{"TextEndsAtFirst1A", "ab\r\ncd\x1A" "ef\x1A", {"-T"}, "ab\r\ncd\x1A", "Text mode. size:00000A\n"},
        LineCase{"TextWithout1AGetsOne", "line\r\n", {"-T", "-N"}, "line\r\n\x1A", "Text mode. size:000006\n"},
        LineCase{"TextEndingIn1A", "xyz\x1A", {"-T"}, "xyz\x1A", "Text mode. size:000004\n"},
        LineCase{"EmptyText", "", {"-T"}, "\x1A", "Text mode. size:000000\n"}),
    CaseName());

struct MarkCase {
    size_t size;
    bool dashN;
    int marks;
};

void PrintTo(const MarkCase& c, std::ostream* os) { *os << c.size << (c.dashN ? " bytes -N" : " bytes"); }

class ProgressMarkTest : public ::testing::TestWithParam<MarkCase> {};

// A tenth of the count is one mark; with -N the count still includes the
// 16 header bytes that are not sent, so the bar never fills.
TEST_P(ProgressMarkTest, MarksFollowTheTenths) {
    const MarkCase& c = GetParam();
    Pty pty;
    ScratchDir dir;
    std::vector<std::string> args = {dir.File("f.bin", Pattern(c.size, 3))};
    if (c.dashN) args.push_back("-N");
    LineRun run = RunSend(pty, args);
    std::string out = run.process.output;
    size_t frame = out.find(kSendFrame);
    ASSERT_NE(frame, std::string::npos);
    EXPECT_EQ(out.substr(frame + sizeof kSendFrame - 1), std::string(c.marks, 'o') + kSendDone);
    EXPECT_EQ(run.line.size(), c.size + (c.dashN ? 0 : 16));
}

INSTANTIATE_TEST_SUITE_P(Sizes, ProgressMarkTest,
                         ::testing::Values(MarkCase{0, false, 0}, MarkCase{5, false, 0}, MarkCase{10, false, 10},
                                           MarkCase{19, false, 19}, MarkCase{99, false, 11},
                                           MarkCase{100, false, 10}, MarkCase{1000, false, 10},
                                           MarkCase{0, true, 0}, MarkCase{5, true, 2}, MarkCase{10, true, 5},
                                           MarkCase{19, true, 6}, MarkCase{99, true, 9}, MarkCase{100, true, 9},
                                           MarkCase{1000, true, 9}));

TEST(SendAbort, CtrlCWhileXoffHoldsTheSenderReleasesThePort) {
    Pty pty;
    ScratchDir dir;
    auto process = StartOnTerminal(pty, {dir.File("f.bin", Pattern(300000)), "-F2"});
    ASSERT_TRUE(process->WaitForOutput(kSendFrame));
    ASSERT_TRUE(WriteAll(pty.master(), "\x13"));  // XOFF, and we stop reading
    std::string line = ReadUntilQuiet(pty.master(), 0.3);
    process->Signal(SIGINT);
    ProcessResult r = process->Wait(30);
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.output.substr(r.output.size() - (sizeof kAborted - 1)), CurrentTarget().Console(kAborted));
    EXPECT_EQ(r.output.find(kSendDone), std::string::npos);
    EXPECT_TRUE(PortIsFree(pty));
}

}  // namespace
