// The program on a pseudo-terminal that the preloaded port shim (see
// tests/shims/uart_shim.c) turns into a UART with a 16-byte transmit FIFO, a
// USB adapter, or a cdc-acm board whose queue counts whole write buffers: the
// tail of a send has left the line before DTR drops, the wait
// for it is bounded and gives way to Ctrl+C, and the bytes on their way
// never exceed what a UART's FIFO holds. Also the link reading bytes that
// arrive one at a time, which it takes in batches.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <regex>
#include <string>
#include <thread>

#include "comm.h"
#include "case_table.h"
#include "program_support.h"

namespace {

struct PortModel {
    const char* name;
    const char* model;  // "uart" or "usb"
    bool lineStatus;    // the driver answers TIOCSERGETLSR
    int rate;
    int fifo;
};

ProcessOptions Preloaded(const PortModel& m, const std::string& log) {
    ProcessOptions options;
    options.env = {std::string("LD_PRELOAD=") + VELTA_UART_SHIM, std::string("VELTA_UART_MODEL=") + m.model,
                   std::string("VELTA_UART_LSR=") + (m.lineStatus ? "1" : "0"),
                   "VELTA_UART_FIFO=" + std::to_string(m.fifo), "VELTA_UART_LOG=" + log};
    for (const std::string& e : CurrentTarget().Environment()) options.env.push_back(e);
    return options;
}

// The first number the shim logged after `what`, -1 if none: "dtr 0 pending "
// (bytes still to leave the line when DTR dropped), "largest ".
long Logged(const std::string& log, const std::string& what) {
    std::smatch m;
    return std::regex_search(log, m, std::regex(what + "([0-9]+)")) ? std::stol(m[1]) : -1;
}

CASE_TABLE(TailTest, PortModel);

TEST_P(TailTest, EveryByteHasLeftBeforeDtrDrops) {
    const PortModel& m = GetParam();
    ScratchDir dir;
    Pty pty;
    const std::string data = Pattern(m.rate / 20, 3);  // about half a second on the line
    LineRun run = RunSend(pty, {dir.File("tail.bin", data), "-MS", "-B" + std::to_string(m.rate)},
                          Preloaded(m, dir.Path("port.log")));
    EXPECT_EQ(run.process.exitCode, 1);
    ASSERT_EQ(run.line.size(), data.size() + 16);
    EXPECT_EQ(run.line.substr(16), data);
    const std::string log = ReadFile(dir.Path("port.log"));
    EXPECT_EQ(log.find("dtr 1 pending 0\n"), 0u) << log;  // raised at open
    EXPECT_EQ(Logged(log, "dtr 0 pending "), 0) << log;
    // One FIFO's worth and the byte queued behind it, as on a UART.
    EXPECT_LE(Logged(log, "largest "), 17) << log;
    EXPECT_GE(Logged(log, "largest "), 1) << log;
}

INSTANTIATE_TEST_SUITE_P(Ports, TailTest,
                         ::testing::Values(PortModel{"UartWithLineStatus9600", "uart", true, 9600, 16},
                                           PortModel{"UartQueueOnly9600", "uart", false, 9600, 16},
                                           PortModel{"UartQueueOnly38400", "uart", false, 38400, 16},
                                           PortModel{"UsbAdapter9600", "usb", false, 9600, 16},
                                           PortModel{"UsbAdapter38400", "usb", false, 38400, 16},
                                           PortModel{"UsbAdapterWithLineStatus19200", "usb", true, 19200, 16},
                                           PortModel{"CdcAcm9600", "acm", false, 9600, 16},
                                           PortModel{"CdcAcm38400", "acm", false, 38400, 16}),
                         CaseName());

// A FIFO far deeper than any UART's, which only the line status tells
// about: a tail that takes seconds to leave. It is waited for as long as it
// moves; Ctrl+C ends the wait, and a device that stops taking bytes (the
// shim holds the last 12) makes the send a lost line, not a complete one.
struct TailCase {
    const char* name;
    int rate;
    size_t size;        // data bytes; all of them go into the FIFO at once
    long hold;          // bytes that leave before the device holds the line; -1: never
    bool interrupt;     // Ctrl+C once everything has been handed over
    int status;         // with --exit-status
    long pendingAtDrop; // bytes still to leave when DTR dropped; -2: some
};

CASE_TABLE(LongTailTest, TailCase);

TEST_P(LongTailTest, EndsOnlyWhenTheTailHasLeftOrCannot) {
    const TailCase& c = GetParam();
    ScratchDir dir;
    Pty pty;
    ProcessOptions options = Preloaded(PortModel{"deep", "uart", true, c.rate, 1000}, dir.Path("port.log"));
    if (c.hold >= 0) options.env.push_back("VELTA_UART_HOLD=" + std::to_string(c.hold));
    options.terminal = true;
    const std::string data = Pattern(c.size, 4);
    std::vector<std::string> args = {dir.File("deep.bin", data), "-MS", "-B" + std::to_string(c.rate),
                                     "--exit-status", CurrentTarget().PortOption(pty.path())};
    Process velta(CurrentTarget().Command(args), options);
    ASSERT_TRUE(velta.WaitForOutput("|oooooooooo", 30));
    if (c.interrupt) {
        usleep(200000);
        velta.Signal(SIGINT);
    }
    ProcessResult result = velta.Wait(60);
    EXPECT_FALSE(result.timedOut);
    EXPECT_EQ(result.exitCode, c.status) << result.errors;
    EXPECT_EQ(ReadExactly(pty.master(), data.size() + 16, 5).size(), data.size() + 16);
    const bool complete = c.status == 0;
    EXPECT_EQ(result.output.find(kSendDone) != std::string::npos, complete) << result.output;
    EXPECT_EQ(result.output.find(kAborted) != std::string::npos, !complete) << result.output;
    EXPECT_EQ(result.errors.find(Format(kTailHeld, 3)) != std::string::npos, c.hold >= 0) << result.errors;
    const std::string log = ReadFile(dir.Path("port.log"));
    if (c.pendingAtDrop == -2)
        EXPECT_GT(Logged(log, "dtr 0 pending "), 0) << log;
    else
        EXPECT_EQ(Logged(log, "dtr 0 pending "), c.pendingAtDrop) << log;
}

INSTANTIATE_TEST_SUITE_P(
    Ends, LongTailTest,
    ::testing::Values(TailCase{"SlowTailIsWaitedFor", 300, 150, -1, false, 0, 0},  // 5.5 s of tail
                      TailCase{"Interrupted", 300, 40, -1, true, 2, -2},
                      TailCase{"HeldTailIsALostLine", 9600, 150, 16 + 150 - 12, false, 6, 12}),
    CaseName());

// Bytes that arrive one at a time are read in batches; every one of them
// comes out, in order.
TEST(TrickleReceive, EveryByteComesOutInOrder) {
    Pty pty;
    CommLink link;
    ASSERT_NE(link.OpenConnection(1, 38400, 8, 0, 0, 0, pty.path().c_str()), 0);
    const std::string data = Pattern(400, 5);
    std::thread device([&] {
        for (char c : data) {
            WriteAll(pty.master(), std::string(1, c));
            usleep(500);
        }
    });
    EXPECT_EQ(ReadFromLink(link, data.size()), data);
    device.join();
}

}  // namespace
