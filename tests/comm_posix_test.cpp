// The POSIX serial link over real pseudo-terminals: the line settings the
// terminal is left with, exclusive ownership, reading, flow control, and
// aborts raised by real signals. Abort cases run in a forked child because
// the abort flag, like the program's, is never cleared once set.
#include <gtest/gtest.h>

#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <sys/syscall.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "case_table.h"
#include "comm.h"
#include "line_check.h"
#include "program_support.h"

namespace {

constexpr char kXon = 0x11, kXoff = 0x13;

struct LineCase {
    uint8_t flow;
    uint32_t rate;
    speed_t speed;
    bool crtscts, ixon, ixoff;
};

void PrintTo(const LineCase& c, std::ostream* os) { *os << "flow " << int(c.flow) << " at " << c.rate; }

class LineSettingsTest : public ::testing::TestWithParam<LineCase> {};

TEST_P(LineSettingsTest, SecondDescriptorReadsBackTheLine) {
    const LineCase& c = GetParam();
    Pty pty;
    CommLink link;
    ASSERT_NE(link.OpenConnection(1, c.rate, 8, 0, 0, c.flow, pty.path().c_str()), 0);
    ExpectRawLine(pty.slave(), {c.speed, c.crtscts, c.ixon, c.ixoff});
    EXPECT_EQ(SettingsOf(pty.slave()).c_iflag & IXANY, 0u);
    EXPECT_EQ(link.CloseConnection(), 1);
}

INSTANTIATE_TEST_SUITE_P(Flows, LineSettingsTest,
                         ::testing::Values(LineCase{0, 9600, B9600, false, false, false},
                                           LineCase{kFlowCtsRts, 300, B300, true, false, false},
                                           LineCase{kFlowXonXoffIn, 19200, B19200, false, false, true},
                                           LineCase{kFlowXonXoffOut, 38400, B38400, false, true, false},
                                           LineCase{0, 1200, B1200, false, false, false}));

TEST(CommLinkOpen, PortIsHeldExclusivelyAndReleasedAtClose) {
    Pty pty;
    CommLink first, second;
    ASSERT_NE(first.OpenConnection(1, 9600, 8, 0, 0, 0, pty.path().c_str()), 0);
    EXPECT_EQ(second.OpenConnection(1, 9600, 8, 0, 0, 0, pty.path().c_str()), 0);
    EXPECT_FALSE(second.IsOpen());
    EXPECT_EQ(first.OpenConnection(1, 9600, 8, 0, 0, 0, pty.path().c_str()), 0);  // already open
    first.CloseConnection();
    EXPECT_NE(second.OpenConnection(1, 9600, 8, 0, 0, 0, pty.path().c_str()), 0);
}

TEST(CommLinkOpen, MissingPortOrUnknownRateFails) {
    Pty pty;
    CommLink link;
    EXPECT_EQ(link.OpenConnection(1, 9600, 8, 0, 0, 0, "/dev/no-such-port"), 0);
    EXPECT_EQ(link.OpenConnection(1, 12345, 8, 0, 0, 0, pty.path().c_str()), 0);
    EXPECT_FALSE(link.IsOpen());
    // The failed attempt left the port free.
    EXPECT_NE(link.OpenConnection(1, 9600, 8, 0, 0, 0, pty.path().c_str()), 0);
}

TEST(CommLinkOpen, InputPendingAtOpenIsDiscarded) {
    Pty pty;
    ASSERT_TRUE(WriteAll(pty.master(), "stale"));
    usleep(50000);
    CommLink link;
    ASSERT_NE(link.OpenConnection(1, 9600, 8, 0, 0, 0, pty.path().c_str()), 0);
    ASSERT_TRUE(WriteAll(pty.master(), "N"));
    EXPECT_EQ(link.ReadByte(), 'N');
}

// What the device does while a read waits, and what the read returns: the
// first byte, or a failure when the line hangs up (instead of spinning).
struct DeviceAct {
    const char* name;
    void (*act)(Pty&);
    int read;
};

CASE_TABLE(BlockedRead, DeviceAct);

TEST_P(BlockedRead, EndsWithWhatTheDeviceDid) {
    Pty pty;
    CommLink link;
    ASSERT_NE(link.OpenConnection(1, 9600, 8, 0, 0, 0, pty.path().c_str()), 0);
    std::thread device([&] {
        usleep(200000);
        GetParam().act(pty);
    });
    EXPECT_EQ(link.ReadByte(), GetParam().read);
    device.join();
}

INSTANTIATE_TEST_SUITE_P(
    CommLinkRead, BlockedRead,
    ::testing::Values(DeviceAct{"FirstByteComes", [](Pty& pty) { WriteAll(pty.master(), "A"); }, 'A'},
                      DeviceAct{"LineHangsUp", [](Pty& pty) { pty.CloseMaster(); }, -1}),
    CaseName());

TEST(CommLinkRead, LargeBurstComesOutWholeAndInOrder) {
    Pty pty;
    CommLink link;
    ASSERT_NE(link.OpenConnection(1, 38400, 8, 0, 0, kFlowXonXoffIn, pty.path().c_str()), 0);
    std::string data;
    for (int i = 0; i < 3 * 4096 + 123; ++i) data += static_cast<char>((i * 7 + i / 256) & 0xFF);
    data[10] = kXon;
    data[11] = kXoff;  // flow-control characters are data when we receive
    std::thread device([&] { WriteAll(pty.master(), data); });
    EXPECT_EQ(ReadFromLink(link, data.size()), data);
    device.join();
}

TEST(CommLinkWrite, XoffHoldsTheWriterAndXonReleasesIt) {
    Pty pty;
    CommLink link;
    ASSERT_NE(link.OpenConnection(1, 38400, 8, 0, 0, kFlowXonXoffOut, pty.path().c_str()), 0);
    ASSERT_TRUE(WriteAll(pty.master(), std::string(1, kXoff)));
    usleep(50000);
    const int count = 200;
    std::thread writer([&] {
        for (int i = 0; i < count; ++i) ASSERT_NE(link.WriteByte(i), 0);
    });
    EXPECT_EQ(ReadUntilQuiet(pty.master(), 0.5), "");  // held back
    ASSERT_TRUE(WriteAll(pty.master(), std::string(1, kXon)));
    std::string got = ReadExactly(pty.master(), count, 20);
    writer.join();
    ASSERT_EQ(got.size(), static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) EXPECT_EQ(static_cast<uint8_t>(got[i]), i);
    EXPECT_EQ(ReadUntilQuiet(pty.master(), 0.2), "");  // every byte once
}

// The pseudo-terminals of the cases below stand for a cdc-acm port, on which
// the kernel's IXON stops nothing: the link finds the driver's name in sysfs,
// answered here by this stand-in for readlink.
std::atomic<bool> ptysAreCdcAcm{false};

struct AsCdcAcm {
    AsCdcAcm() { ptysAreCdcAcm = true; }
    ~AsCdcAcm() { ptysAreCdcAcm = false; }
};

}  // namespace

extern "C" ssize_t readlink(const char* path, char* target, size_t size) {
    const std::string p = path;
    if (ptysAreCdcAcm && p.rfind("/sys/class/tty/", 0) == 0 && p.size() > 14 &&
        p.compare(p.size() - 14, 14, "/device/driver") == 0) {
        const std::string answer = "../../../bus/usb/drivers/cdc_acm";
        const size_t n = std::min(size, answer.size());
        std::memcpy(target, answer.data(), n);
        return static_cast<ssize_t>(n);
    }
    return syscall(SYS_readlink, path, target, size);
}

namespace {

// There the device's flow bytes are read by the link itself (IXON stays
// off): the last of XOFF and XON decides, whatever else came with them.
struct FlowBytesCase {
    const char* name;
    std::string fromDevice;
    bool held;
};

CASE_TABLE(FlowBytes, FlowBytesCase);

TEST_P(FlowBytes, TheLastOfXoffAndXonDecides) {
    const FlowBytesCase& c = GetParam();
    AsCdcAcm acm;
    Pty pty;
    CommLink link;
    ASSERT_NE(link.OpenConnection(1, 38400, 8, 0, 0, kFlowXonXoffOut, pty.path().c_str()), 0);
    EXPECT_EQ(SettingsOf(pty.slave()).c_iflag & IXON, 0u);  // the kernel would stop nothing on cdc-acm
    ASSERT_TRUE(WriteAll(pty.master(), c.fromDevice));
    usleep(50000);
    std::thread writer([&] { EXPECT_NE(link.WriteByte('A'), 0); });
    EXPECT_EQ(ReadUntilQuiet(pty.master(), 0.3), c.held ? "" : "A");
    if (c.held) {
        ASSERT_TRUE(WriteAll(pty.master(), std::string(1, kXon)));
        EXPECT_EQ(ReadExactly(pty.master(), 1, 10), "A");
    }
    writer.join();
}

INSTANTIATE_TEST_SUITE_P(Sequences, FlowBytes,
                         ::testing::Values(FlowBytesCase{"Xoff", {kXoff}, true},
                                           FlowBytesCase{"XoffThenXon", {kXoff, kXon}, false},
                                           FlowBytesCase{"XoffXonXoff", {kXoff, kXon, kXoff}, true},
                                           FlowBytesCase{"NoiseAroundXoff", {'n', kXoff, 'z'}, true},
                                           FlowBytesCase{"NoiseAlone", {'n', '\0', 'z'}, false}),
                         CaseName());

// Where the link obeys XOFF itself no more than a FIFO may reach the device
// after it, also where the queue reads empty at once (here a pseudo-terminal,
// which takes bytes as fast as they come): so the bytes never run more than
// a FIFO ahead of the line clock.
TEST(CommLinkWrite, ReadingXoffItselfTheBytesStayWithinAFifoOfTheLine) {
    AsCdcAcm acm;
    Pty pty;
    CommLink link;
    constexpr int kRate = 9600, kCount = 60;
    ASSERT_NE(link.OpenConnection(1, kRate, 8, 0, 0, kFlowXonXoffOut, pty.path().c_str()), 0);
    const double start = Now();
    std::thread writer([&] {
        for (int i = 0; i < kCount; ++i) ASSERT_NE(link.WriteByte(i), 0);
    });
    std::string got;
    double worst = 0;  // the most bytes ahead of the line clock seen
    while (got.size() < static_cast<size_t>(kCount)) {
        std::string more = ReadExactly(pty.master(), 1, 10);
        if (more.empty()) break;
        got += more;
        worst = std::max(worst, got.size() - (Now() - start) * kRate / 10);
    }
    writer.join();
    EXPECT_EQ(got.size(), static_cast<size_t>(kCount));
    EXPECT_LE(worst, 17.5);
    EXPECT_GE(worst, 1.0);  // and it did run ahead: the clock bounds, nothing slower
}

// Abort cases run in a fresh process (a re-executed death test): the flag,
// like the program's, is never cleared once set. The signal is a real one,
// sent to the process by a thread after `delayMs`, while the main thread is
// inside the link; `body` returns 0 when everything went as expected.
void RunWithSignal(uint8_t flow, int sig, int delayMs, int (*body)(Pty&)) {
    Pty pty;
    if (!commLink.OpenConnection(1, 38400, 8, 0, 0, flow, pty.path().c_str())) std::exit(99);
    if (delayMs >= 0) {
        std::thread([=] {
            usleep(delayMs * 1000);
            kill(getpid(), sig);
        }).detach();
    }
    std::exit(body(pty));
}

class CommLinkAbort : public ::testing::TestWithParam<int> {
protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_P(CommLinkAbort, SignalEndsABlockedRead) {
    EXPECT_EXIT(RunWithSignal(0, GetParam(), 300, [](Pty&) {
        if (commLink.ReadByte() != -1) return 1;
        if (LinkRead() != -2) return 2;  // and every later read fails too
        return abortRequested.load() == 1 ? 0 : 3;
    }), ::testing::ExitedWithCode(0), "");
}

TEST_P(CommLinkAbort, SignalEndsAWriteHeldByXoff) {
    EXPECT_EXIT(RunWithSignal(kFlowXonXoffOut, GetParam(), 500, [](Pty& pty) {
        WriteAll(pty.master(), std::string(1, kXoff));
        usleep(50000);
        if (LinkWrite('x') != -2) return 1;
        if (commLink.WriteByte('y') != 0) return 2;
        return ReadUntilQuiet(pty.master(), 0.1).empty() ? 0 : 3;  // held, never sent
    }), ::testing::ExitedWithCode(0), "");
}

TEST_P(CommLinkAbort, WaitStartedAfterTheAbortReturnsAtOnce) {
    EXPECT_EXIT(RunWithSignal(0, GetParam(), 0, [](Pty&) {
        usleep(300000);
        if (commLink.WaitForData() != 0) return 1;
        if (commLink.WaitForData() != 0) return 2;  // the abort is never used up
        if (commLink.FillReceiveBuffer() != 0) return 3;
        return LinkWrite('z') == -2 ? 0 : 4;
    }), ::testing::ExitedWithCode(0), "");
}

INSTANTIATE_TEST_SUITE_P(Signals, CommLinkAbort, ::testing::Values(SIGINT, SIGTERM, SIGHUP, SIGQUIT),
                         SignalName());

}  // namespace
