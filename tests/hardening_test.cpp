// Odd files, signals at any moment and a closed console, with the program as
// a process: what it refuses to send, what it does when the file changes
// under it or makes it wait, and what it leaves on the port.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <thread>
#include <memory>

#include "line_check.h"
#include "case_table.h"
#include "program_support.h"

namespace {

constexpr char kXon = 0x11, kXoff = 0x13;

// ---- files that are not sent ----

// A file the program refuses before anything goes on the line: made by
// `make`, or a file with `content` when there is no maker.
struct RefusedFile {
    const char* name;
    std::string (*make)(const ScratchDir&);  // the path to send
    std::string content;
    std::vector<std::string> options;
    std::string message;  // %s is the path
};

std::string MakeFifo(const ScratchDir& dir) {
    std::string path = dir.Path("fifo");
    mkfifo(path.c_str(), 0600);
    return path;
}

// A sparse file of `size` bytes, too large to make otherwise.
std::string Sparse(const ScratchDir& dir, off_t size) {
    std::string path = dir.File("sparse.bin", "");
    return truncate(path.c_str(), size) == 0 ? path : "";
}

CASE_TABLE(RefusedFileTest, RefusedFile);

TEST_P(RefusedFileTest, IsRefusedBeforeAnythingGoesOnTheLine) {
    const RefusedFile& c = GetParam();
    ScratchDir dir;
    Pty pty;
    std::string path = c.make ? c.make(dir) : dir.File("f.bin", c.content);
    ASSERT_FALSE(path.empty());
    LineRun run = RunSend(pty, Joined({path}, c.options));
    EXPECT_FALSE(run.process.timedOut);
    EXPECT_EQ(run.process.exitCode, 1);
    EXPECT_EQ(run.line, "");
    EXPECT_EQ(run.process.output,
              CurrentTarget().Console(Banner() + Format(c.message.c_str(), path.c_str()) + kAborted));
}

INSTANTIATE_TEST_SUITE_P(
    Sources, RefusedFileTest,
    ::testing::Values(
        RefusedFile{"Directory", [](const ScratchDir& d) { return d.Path(""); }, "", {}, kNotRegularFile},
        RefusedFile{"FifoWithoutWriter", MakeFifo, "", {}, kNotRegularFile},
        RefusedFile{"FifoInTextMode", MakeFifo, "", {"-T"}, kNotRegularFile},
        RefusedFile{"EndlessDevice", [](const ScratchDir&) { return std::string("/dev/zero"); }, "", {},
                    kNotRegularFile},
        // A regular file whose length reads 0 but which has contents.
        RefusedFile{"ProcFile", [](const ScratchDir&) { return std::string("/proc/self/status"); }, "", {"-N"},
                    kLengthUntrusted},
        // Past what -N can count in 32 bits (length + 16).
        RefusedFile{"FourGiBWithDashN", [](const ScratchDir& d) { return Sparse(d, 0x100000000LL - 16); }, "", {"-N"},
                    kTooLargeForCount},
        // One byte over what a generated header can announce.
        RefusedFile{"TooLargeForAGeneratedHeader", [](const ScratchDir& d) { return Sparse(d, 16777200); }, "", {},
                    kTooLarge},
        RefusedFile{"StoredSizeBelow16", nullptr, HeaderBytes(15, 0x2000) + "rest", {},
                    Format(kStoredSizeTooSmall, "%s", 15ul)},
        RefusedFile{"FileShorterThanStoredSize", nullptr, HeaderBytes(100, 0x2000) + Pattern(50), {"-N"},
                    Format(kFileShorterThanHeader, "%s", 100ul)}),
    CaseName());

// The device was promised the header's length: a file that shrinks while it
// is sent ends the transfer as aborted, with what was sent a true prefix.
TEST(FileChanges, TruncatedDuringTheSendIsAnAbortNotACompletion) {
    ScratchDir dir;
    Pty pty;
    const std::string data = Pattern(200000, 5);
    const std::string name = dir.File("shrinks.bin", data);
    auto process = StartOnTerminal(pty, {name, "-F2"});
    std::string line = ReadExactly(pty.master(), 100, 20);
    ASSERT_TRUE(WriteAll(pty.master(), std::string(1, kXoff)));
    line += ReadUntilQuiet(pty.master(), 0.3);
    ASSERT_EQ(truncate(name.c_str(), 50), 0);
    ASSERT_TRUE(WriteAll(pty.master(), std::string(1, kXon)));
    ProcessResult r = process->Wait(60);
    line += ReadUntilQuiet(pty.master(), 0.3);
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.exitCode, 1);
    ASSERT_GT(line.size(), 100u);
    ASSERT_LT(line.size(), 16 + data.size());
    EXPECT_EQ(line, HeaderBytes(200016, 0x2000) + data.substr(0, line.size() - 16));
    const unsigned long sent = line.size() - 16;
    const std::string tail = CurrentTarget().Console(Format(kFileEndedEarly, name.c_str(), 200000ul, sent) + kAborted);
    EXPECT_EQ(Tail(r.output, tail.size()), tail);
    // Counts beside the word for bytes are decimal, as everywhere users read them.
    EXPECT_NE(r.output.find("200000 "), std::string::npos) << r.output;
    EXPECT_EQ(r.output.find(kSendDone), std::string::npos);
}

// ---- files that make the program wait ----

class WaitingFileTest : public ::testing::TestWithParam<int> {};

// Receiving into a FIFO that nobody reads: the open waits, and gives way.
TEST_P(WaitingFileTest, ReceivingIntoAFifoWithoutReaderEndsOnTheSignal) {
    ScratchDir dir;
    Pty pty;
    const std::string fifo = MakeFifo(dir);
    auto process = StartOnTerminal(pty, {fifo, "-MR"});
    ASSERT_TRUE(process->WaitForOutput(Banner()));
    usleep(200000);
    process->Signal(GetParam());
    ProcessResult r = process->Wait(20);
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.output, CurrentTarget().Console(Banner() + kAborted));
    EXPECT_TRUE(PortIsFree(pty));
}

INSTANTIATE_TEST_SUITE_P(Signals, WaitingFileTest, ::testing::Values(SIGINT, SIGQUIT, SIGTERM, SIGHUP),
                         SignalName());

// A FIFO with a slow reader takes every byte, a little at a time.
TEST(WaitingFile, ReceivingIntoAFifoWithASlowReaderDeliversEverything) {
    ScratchDir dir;
    Pty pty;
    const std::string fifo = MakeFifo(dir);
    const std::string sent = HeaderBytes(40016, 0x2000) + Pattern(40000, 9);
    std::string got;
    std::thread reader([&] {
        int fd = open(fifo.c_str(), O_RDONLY);
        fcntl(fd, F_SETPIPE_SZ, 4096);
        char buffer[1000];
        for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0; usleep(2000)) got.append(buffer, size_t(n));
        close(fd);
    });
    auto process = StartOnTerminal(pty, {fifo, "-MR"});
    EXPECT_TRUE(process->WaitForOutput(Format(kReceivePrompt, 9600)));
    EXPECT_TRUE(WriteAll(pty.master(), sent));
    ProcessResult r = process->Wait(60);
    reader.join();
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(Tail(r.output, sizeof kReceiveDone - 1), kReceiveDone);
    EXPECT_EQ(got, sent);
}

// A FIFO whose reader stops reading: the write that cannot go on gives way.
TEST(WaitingFile, ReceivingIntoAFifoThatStopsTakingEndsOnCtrlC) {
    ScratchDir dir;
    Pty pty;
    const std::string fifo = MakeFifo(dir);
    int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    fcntl(reader, F_SETPIPE_SZ, 4096);
    auto process = StartOnTerminal(pty, {fifo, "-MR"});
    ASSERT_TRUE(process->WaitForOutput(Format(kReceivePrompt, 9600)));
    // One block and a little: the block's write is held by the full pipe.
    ASSERT_TRUE(WriteAll(pty.master(), HeaderBytes(60016, 0x2000) + Pattern(20000)));
    ASSERT_TRUE(process->WaitForOutput(kReceiveFrame));
    usleep(500000);
    process->Signal(SIGINT);
    ProcessResult r = process->Wait(20);
    close(reader);
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.exitCode, 1);
    const std::string tail = CurrentTarget().Console(Format(kCannotWrite, fifo.c_str()) + kAborted);
    EXPECT_EQ(Tail(r.output, tail.size()), tail);
    EXPECT_TRUE(PortIsFree(pty));
}

// ---- the console and the port ----

// `velta file | true`: the console is gone before the run ends.
TEST(Console, ClosedConsoleLeavesTheTransferAndItsStatusAlone) {
    ScratchDir dir;
    Pty pty;
    const std::string data = Pattern(300, 6);
    std::string line;
    std::thread device([&] {
        line = ReadExactly(pty.master(), 316, 30);
        line += ReadUntilQuiet(pty.master(), 0.3);
    });
    ProcessResult r = RunProgram({dir.File("f.bin", data), CurrentTarget().PortOption(pty.path())}, {},
                                 {"bash", "-c", "\"$@\" | true; exit ${PIPESTATUS[0]}", "bash"});
    device.join();
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(line, HeaderBytes(316, 0x2000) + data);
}

// A command-line error with the console gone keeps its usage status, and the
// error stream gone (`2>&-` then a failing pipe) changes nothing either.
TEST(Console, ClosedConsoleKeepsTheUsageStatus) {
    for (const char* script : {"\"$@\" | true; exit ${PIPESTATUS[0]}",
                               "\"$@\" 2>&1 | true; exit ${PIPESTATUS[0]}"}) {
        EXPECT_EQ(RunProgram({"f", "-MX"}, {}, {"bash", "-c", script, "bash"}).exitCode, 255) << script;
    }
}

// The port is left as it was found, whether the run completed or aborted.
class PortRestoreTest : public ::testing::TestWithParam<bool> {};

TEST_P(PortRestoreTest, LineSettingsReadBackAsBeforeTheRun) {
    const bool abort = GetParam();
    ScratchDir dir;
    Pty pty;
    MakeCooked(pty.slave());
    const termios before = SettingsOf(pty.slave());
    if (abort) {
        auto process = StartOnTerminal(pty, {dir.Path("in.bin"), "-MR", "-B38400", "-F2"});
        ASSERT_TRUE(process->WaitForOutput(Format(kReceivePrompt, 38400)));
        process->Signal(SIGINT);
        EXPECT_EQ(process->Wait(20).exitCode, 1);
    } else {
        LineRun run = RunSend(pty, {dir.File("f.bin", "abc"), "-B19200", "-F1"});
        EXPECT_EQ(run.process.exitCode, 1);
        EXPECT_EQ(run.line, HeaderBytes(19, 0x2000) + "abc");
    }
    ExpectSettingsKept(before, pty.slave());
}

INSTANTIATE_TEST_SUITE_P(Runs, PortRestoreTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& i) { return i.param ? "Aborted" : "Completed"; });

// A signal at any moment of the start leaves no exclusive hold on the port:
// either the process ends before it takes the port, or it aborts in order.
TEST(SignalAtOpen, NeverLeavesThePortExclusive) {
    ScratchDir dir;
    Pty pty;
    for (int delayUs = 0; delayUs < 40000; delayUs += 1000) {
        Process process(CurrentTarget().Command({dir.Path("in.bin"), "-MR", CurrentTarget().PortOption(pty.path())}),
                        TargetOptions());
        usleep(delayUs);
        process.Signal(SIGTERM);
        ProcessResult r = process.Wait(20);
        ASSERT_FALSE(r.timedOut) << delayUs;
        EXPECT_TRUE(r.signal == SIGTERM || r.exitCode == 1) << delayUs;
        int exclusive = 0;
        ASSERT_EQ(ioctl(pty.slave(), TIOCGEXCL, &exclusive), 0);
        ASSERT_EQ(exclusive, 0) << "after a signal " << delayUs << " us into the run";
    }
}

}  // namespace
