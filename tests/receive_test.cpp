// Receiving as a process: a pseudo-terminal plays the device that sends once
// the program has asked for it; the file and the console are checked exactly.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include "case_table.h"
#include "program_support.h"

namespace {

std::string Prompt(int rate = 9600) { return Format(kReceivePrompt, rate); }

// One reception: start the program, wait for its prompt, then play the
// device by sending `chunks` with `pauseMs` between them.
struct Reception {
    ScratchDir dir;
    Pty pty;
    std::string file = dir.Path("in.bin");
    std::unique_ptr<Process> process;

    void Start(const std::vector<std::string>& options, const std::string& target = "") {
        process = StartOnTerminal(pty, Joined({target.empty() ? file : target, "-MR"}, options));
        ASSERT_TRUE(process->WaitForOutput(Prompt()));
    }
    void Send(const std::string& bytes) { ASSERT_TRUE(WriteAll(pty.master(), bytes)); }
    ProcessResult Finish() { return process->Wait(60); }
};

struct BinaryCase {
    const char* name;
    std::vector<std::string> options;
    std::string sent;         // what the device sends
    std::vector<size_t> cuts; // split points, with a pause at each
    std::string file;         // what the file must hold
    std::string console;      // after the banner and the prompt's "\r"
};

CASE_TABLE(ReceiveTest, BinaryCase);

TEST_P(ReceiveTest, FileHoldsExactlyWhatWasAnnounced) {
    const BinaryCase& c = GetParam();
    Reception rx;
    rx.Start(c.options);
    size_t from = 0;
    for (size_t cut : c.cuts) {
        rx.Send(c.sent.substr(from, cut - from));
        usleep(100000);
        from = cut;
    }
    rx.Send(c.sent.substr(from));
    ProcessResult r = rx.Finish();
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(ReadFile(rx.file), c.file);
    EXPECT_EQ(r.output, CurrentTarget().Console(Banner() + Prompt() + "\r" + c.console));
}

// The header line, then the bar filled as it is for every complete reception.
std::string Bar(const std::string& headerLine) {
    return headerLine + "\n" + kReceiveFrame + std::string(10, 'o') + kReceiveDone;
}

const std::string kData = Pattern(5000, 7);
const std::string kBlockData = Pattern(16384 - 16, 8);

std::string TextOf(size_t n, int seed) {
    std::string t = Pattern(n, seed);
    for (char& c : t)
        if (c == 0x1A) c = 'x';
    return t;
}

const std::string kText99 = TextOf(99, 10);

INSTANTIATE_TEST_SUITE_P(
    Cases, ReceiveTest,
    ::testing::Values(
        BinaryCase{"HeaderKept", {}, HeaderBytes(5016, 0x4000, 0x4003) + kData + "after", {},
                   HeaderBytes(5016, 0x4000, 0x4003) + kData, Bar("load addr:4000 run addr:4003 size:001388")},
        BinaryCase{"DashNDropsHeader", {"-N", "-B9600"}, HeaderBytes(5016, 0x4000, 0) + kData, {}, kData,
                   Bar("load addr:4000 run addr:0000 size:001388")},
        BinaryCase{"ExactlyOneBlock", {}, HeaderBytes(16384, 0x100, 0) + kBlockData, {}, HeaderBytes(16384, 0x100, 0) + kBlockData,
                   Bar("load addr:0100 run addr:0000 size:003FF0")},
        BinaryCase{"HeaderOnly", {}, HeaderBytes(16, 0x2000, 0), {}, HeaderBytes(16, 0x2000, 0),
                   "load addr:2000 run addr:0000 size:000000\n" + std::string(kReceiveFrame) + kReceiveDone},
        BinaryCase{"HeaderOnlyDashN", {"-N"}, HeaderBytes(16, 0x2000, 0), {}, "",
                   "load addr:2000 run addr:0000 size:000000\n" + std::string(kReceiveFrame) + kReceiveDone},
        BinaryCase{"SmallPiecesWithPauses", {}, HeaderBytes(5016, 0x8000, 0) + kData, {1, 7, 16, 17, 300, 4500},
                   HeaderBytes(5016, 0x8000, 0) + kData, Bar("load addr:8000 run addr:0000 size:001388")},
        BinaryCase{"TextFirstByte1ADoesNotEnd", {"-T"}, "\x1A" "abc\x1A" "zz", {}, "\x1A" "abc\x1A",
                   std::string(kReceiveTextLine) + kReceiving + kReceiveDone},
        BinaryCase{"Text100Bytes", {"-T", "-N"}, kText99 + "\x1A" + "tail", {40}, kText99 + "\x1A",
                   std::string(kReceiveTextLine) + kReceiving + kReceiveDone}),
    CaseName());

TEST(ReceiveFault, HeaderSizeBelow16IsRejectedAtOnce) {
    Reception rx;
    rx.Start({});
    std::string header = HeaderBytes(15, 0x1000, 0);
    rx.Send(header);
    ProcessResult r = rx.Finish();
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(ReadFile(rx.file), header);
    EXPECT_EQ(r.output, CurrentTarget().Console(Banner() + Prompt() + "\r" +
                                                "load addr:1000 run addr:0000 size:FFFFFFFF\n" +
                                                Format(kReceivedSizeTooSmall, 15ul) + kAborted));
}

TEST(ReceiveFault, WriteFailureIsReportedNotCompleted) {
    Reception rx;
    rx.Start({}, "/dev/full");
    rx.Send(HeaderBytes(5016, 0x4000, 0) + kData);
    ProcessResult r = rx.Finish();
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.output.find(kReceiveDone), std::string::npos);
    const std::string tail = CurrentTarget().Console(Format(kCannotWrite, "/dev/full") + kAborted);
    EXPECT_EQ(Tail(r.output, tail.size()), tail);
}

struct AbortCase {
    const char* name;
    std::vector<std::string> options;
    std::string sent;  // before Ctrl+C
    std::string kept;  // what the file holds
};

CASE_TABLE(ReceiveAbortTest, AbortCase);

// Whatever arrived before Ctrl+C is in the file (with -N, nothing of the
// header); the port is free at once.
TEST_P(ReceiveAbortTest, EverythingReceivedIsKept) {
    const AbortCase& c = GetParam();
    Reception rx;
    rx.Start(c.options);
    rx.Send(c.sent);
    usleep(300000);
    rx.process->Signal(SIGINT);
    ProcessResult r = rx.Finish();
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(ReadFile(rx.file), c.kept);
    EXPECT_EQ(Tail(r.output, sizeof kAborted - 1), CurrentTarget().Console(kAborted));
    EXPECT_EQ(r.output.find(kReceiveDone), std::string::npos);
    EXPECT_TRUE(PortIsFree(rx.pty));
}

const std::string kCutHeader = HeaderBytes(40000, 0, 0).substr(0, 10);
const std::string kCutData = Pattern(20000, 4);
const std::string kHeaderThenCutData = HeaderBytes(40000, 0, 0) + kCutData;

INSTANTIATE_TEST_SUITE_P(Phases, ReceiveAbortTest,
                         ::testing::Values(AbortCase{"AtThePrompt", {}, "", ""},
                                           AbortCase{"InTheHeader", {}, kCutHeader, kCutHeader},
                                           AbortCase{"InTheHeaderDashN", {"-N"}, kCutHeader, ""},
                                           AbortCase{"InTheData", {}, kHeaderThenCutData, kHeaderThenCutData},
                                           AbortCase{"InTheDataDashN", {"-N"}, kHeaderThenCutData, kCutData}),
                         CaseName());

}  // namespace
