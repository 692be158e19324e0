// velta --stdio: the port handed over on standard input and output. First
// as a plain process on descriptors the test gives it (refusals, the rate
// and settings of the line, flags put back, Ctrl+C), then inside the real
// picocom, driven through a terminal of its own, with velta-sim as the
// device behind a relay that the test can also stand in for.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "case_table.h"
#include "console_text.h"
#include "line_check.h"
#include "sim_driver.h"
#include "tmux_screen.h"

namespace {

const std::string kVelta = VELTA_PROGRAM;

// The status flags that matter to a terminal program sharing the descriptor.
constexpr int kFlagMask = O_ACCMODE | O_NONBLOCK | O_APPEND | O_ASYNC;

// velta with the given descriptors as its standard input and output and
// its error stream collected; LC_ALL=C, so console bytes are CP932 as kept.
std::unique_ptr<Process> StartHanded(std::vector<std::string> args, int in, int out) {
    ProcessOptions options;
    options.stdinFd = in;
    options.stdoutFd = out;
    options.env = {"LC_ALL=C"};
    args.insert(args.begin(), kVelta);
    return std::make_unique<Process>(args, options);
}

// ---- refused: standard input or output is not a terminal ----

enum class Stream { kPipe, kTerminal, kFile };

struct RefusalCase {
    const char* name;
    Stream in, out;
};
CASE_TABLE(Refused, RefusalCase);

TEST_P(Refused, SaysWhyOnTheErrorStreamAndWritesNothingElse) {
    const RefusalCase& c = GetParam();
    for (bool exitStatus : {false, true}) {
        ScratchDir dir;
        Pty pty;
        int pipeFds[2];
        ASSERT_EQ(pipe(pipeFds), 0);
        const int file = open(dir.File("stream", "").c_str(), O_RDWR);
        ASSERT_GE(file, 0);
        auto descriptor = [&](Stream s, bool output) {
            return s == Stream::kTerminal ? pty.slave() : s == Stream::kFile ? file : pipeFds[output ? 1 : 0];
        };
        const std::string target = dir.Path("received.bin");
        std::vector<std::string> args = {target, "-MR", "--stdio"};
        if (exitStatus) args.push_back("--exit-status");
        auto child = StartHanded(args, descriptor(c.in, false), descriptor(c.out, true));
        close(pipeFds[1]);
        EXPECT_EQ(child->Wait().exitCode, exitStatus ? 3 : 1);
        EXPECT_EQ(child->errors(), Banner() + kStdioNotTerminal + kOpenFailed);
        // Nothing went to standard output, wherever it led.
        EXPECT_EQ(ReadUntilQuiet(pipeFds[0], 0.1, 2), "");
        EXPECT_EQ(ReadUntilQuiet(pty.master(), 0.1, 2), "");
        EXPECT_EQ(ReadFile(dir.Path("stream")), "");
        EXPECT_NE(access(target.c_str(), F_OK), 0) << "the port is taken before the file is made";
        close(pipeFds[0]);
        close(file);
    }
}

// With --stdio even --help goes to the error stream: standard output may
// be the serial line.
TEST(StdioHelp, GoesToTheErrorStream) {
    Pty pty;
    auto child = StartHanded({"--help", "--stdio"}, pty.slave(), pty.slave());
    EXPECT_EQ(child->Wait().exitCode, 0);
    EXPECT_EQ(child->errors(), Help());
    EXPECT_EQ(ReadUntilQuiet(pty.master(), 0.2, 2), "");
}

INSTANTIATE_TEST_SUITE_P(
    Stdio, Refused,
    ::testing::Values(RefusalCase{"pipes", Stream::kPipe, Stream::kPipe},
                      RefusalCase{"terminal_in_pipe_out", Stream::kTerminal, Stream::kPipe},
                      RefusalCase{"pipe_in_terminal_out", Stream::kPipe, Stream::kTerminal},
                      RefusalCase{"file_in_terminal_out", Stream::kFile, Stream::kTerminal},
                      RefusalCase{"files", Stream::kFile, Stream::kFile}),
    CaseName());

// ---- a port handed over: the line's rate, its settings and flags left alone ----

struct HandedCase {
    const char* name;
    std::vector<std::string> options;
    speed_t speed;
    tcflag_t iflag;     // handshaking the "terminal program" set
    int warnedRate;     // the -B value warned about, 0 for none
    int xoffAfter = -1; // the device's XOFF after this many bytes (0: before velta starts); -1: none
    cc_t vmin = 1;      // VMIN as the terminal program set it, with VTIME 0
};
CASE_TABLE(HandedPort, HandedCase);

// True once velta has read everything the device wrote: the input queue of
// the terminal, which the test's descriptor of it shares, is empty.
bool InputTaken(int slave) {
    int waiting = 1;
    for (const double end = Now() + 20; Now() < end; usleep(10000))
        if (ioctl(slave, FIONREAD, &waiting) == 0 && waiting == 0) return true;
    return false;
}

// The device holds the send with XOFF after `after` bytes (0: since before
// velta started): while it stands no more than a FIFO and one byte (17) may
// follow, and the send waits for the XON, which is then given. velta is
// stopped while the XOFF is written, so what it sent before is told exactly
// from what it sent after, however slowly this test runs. Every byte read.
std::string HeldByXoff(Process& velta, const Pty& pty, size_t after) {
    const int master = pty.master();
    std::string line;
    if (after == 0) {
        EXPECT_TRUE(velta.WaitForErrors("W\r")) << velta.errors();
    } else {
        line = ReadExactly(master, after, 30);
        velta.Signal(SIGSTOP);
        EXPECT_TRUE(velta.WaitForState('T'));
        line += ReadUntilQuiet(master, 0.1, 5);
        EXPECT_TRUE(WriteAll(master, "\x13"));
        velta.Signal(SIGCONT);
    }
    EXPECT_TRUE(InputTaken(pty.slave()));
    EXPECT_TRUE(velta.WaitUntilAsleep());
    const std::string held = ReadUntilQuiet(master, 0.5, 10);
    EXPECT_LE(held.size(), 17u) << "bytes sent while XOFF stood";
    ::testing::Test::RecordProperty("bytes_while_xoff_stood", static_cast<int>(held.size()));
    EXPECT_FALSE(velta.Ended(0)) << "the send ended while XOFF stood";
    EXPECT_TRUE(WriteAll(master, "\x11"));
    return line + held;
}

TEST_P(HandedPort, SendsExactlyTheFileAndLeavesTheLineAsItWas) {
    const HandedCase& c = GetParam();
    ScratchDir dir;
    Pty pty;
    SetLine(pty.slave(), c.speed, c.iflag);
    termios vmin = SettingsOf(pty.slave());
    vmin.c_cc[VMIN] = c.vmin;
    ASSERT_EQ(tcsetattr(pty.slave(), TCSANOW, &vmin), 0);
    const int flagsBefore = fcntl(pty.slave(), F_GETFL);
    ASSERT_FALSE(flagsBefore & O_NONBLOCK) << "handed over blocking, as picocom does";
    const termios before = SettingsOf(pty.slave());
    // Long enough for the XOFF to come while it runs: velta keeps within a
    // FIFO of the line rate, so 4000 bytes at 9600 bit/s last 4 s.
    const size_t size = c.xoffAfter > 0 ? 4000 : 300;
    const std::string data = Pattern(size, 7);
    if (c.xoffAfter == 0) {
        ASSERT_TRUE(WriteAll(pty.master(), "\x13"));
    }
    auto child = StartHanded(Joined({dir.File("program.bin", data), "-S4000", "--stdio"}, c.options), pty.slave(),
                             pty.slave());
    std::string line;
    if (c.xoffAfter >= 0) line = HeldByXoff(*child, pty, static_cast<size_t>(c.xoffAfter));
    EXPECT_EQ(child->Wait().exitCode, 1);
    line += ReadUntilQuiet(pty.master(), 0.3, 5);
    EXPECT_EQ(line, HeaderBytes(static_cast<uint32_t>(16 + size), 0x4000) + data);
    EXPECT_TRUE(Contains(child->errors(), kSendDone)) << child->errors();
    EXPECT_EQ(child->errors().compare(0, Banner().size(), Banner()), 0) << child->errors();
    const int lineRate = c.speed == B19200 ? 19200 : c.speed == B9600 ? 9600 : 38400;
    EXPECT_EQ(Contains(child->errors(), Format(kStdioRateDiffers, c.warnedRate, lineRate)), c.warnedRate != 0)
        << child->errors();
    ExpectSettingsKept(before, pty.slave());
    EXPECT_EQ(fcntl(pty.slave(), F_GETFL), flagsBefore);
}

INSTANTIATE_TEST_SUITE_P(
    Stdio, HandedPort,
    ::testing::Values(HandedCase{"no_rate_given", {}, B19200, 0, 0},
                      HandedCase{"rate_as_the_line", {"-B19200"}, B19200, 0, 0},
                      HandedCase{"rate_differs_warned", {"-B9600"}, B19200, 0, 9600},
                      HandedCase{"flow_control_not_applied", {"-F1", "-B38400"}, B38400, 0, 0},
                      // With -F2 the line's XON/XOFF is the flow control asked for.
                      HandedCase{"xonxoff_kept", {"-F2"}, B38400, IXON | IXOFF, 0},
                      // A raw line: velta reads the device's XOFF and XON itself.
                      HandedCase{"xoff_before_the_send", {"-F2"}, B38400, 0, 0, 0},
                      HandedCase{"xoff_during_the_send", {"-F2"}, B9600, 0, 0, 200},
                      // poll() says readable only once VMIN bytes have come: the lone XON too.
                      HandedCase{"xon_on_a_line_with_vmin_4", {"-F2"}, B38400, 0, 0, 0, 4}),
    CaseName());

// The console texts and the progress line share the error stream, so the
// progress line is drawn beside the bar, as on a terminal shared with it.
TEST(HandedPortProgress, StandsBesideTheBarOnTheErrorStream) {
    ScratchDir dir;
    Pty pty;
    SetLine(pty.slave(), B38400);
    auto child = StartHanded({dir.File("program.bin", Pattern(300)), "--stdio", "--progress"}, pty.slave(), pty.slave());
    EXPECT_EQ(child->Wait().exitCode, 1);
    EXPECT_EQ(ReadUntilQuiet(pty.master(), 0.3, 5).size(), 316u);
    EXPECT_TRUE(Contains(child->errors(), "\r|oooooooooo| 100% 300 / 300 ")) << child->errors();
}

// A reception: what waited on the line before velta started (a port handed
// over is not flushed), then the last bytes once it waits; VMIN as the
// terminal program set it, with VTIME 0.
struct ReceiveCase {
    const char* name;
    cc_t vmin;
    size_t lastBytes;  // written once velta waits
};
CASE_TABLE(HandedPortReceive, ReceiveCase);

TEST_P(HandedPortReceive, TakesEveryByteAndNamesTheLineRate) {
    const ReceiveCase& c = GetParam();
    ScratchDir dir;
    Pty pty;
    SetLine(pty.slave(), B19200);
    termios vmin = SettingsOf(pty.slave());
    vmin.c_cc[VMIN] = c.vmin;
    ASSERT_EQ(tcsetattr(pty.slave(), TCSANOW, &vmin), 0);
    const std::string sent = HeaderBytes(16 + 500, 0x1234) + Pattern(500, 3);
    ASSERT_TRUE(WriteAll(pty.master(), sent.substr(0, sent.size() - c.lastBytes)));
    const std::string target = dir.Path("received.bin");
    auto child = StartHanded({target, "-MR", "-B9600", "--stdio"}, pty.slave(), pty.slave());
    if (c.lastBytes > 0) {
        ASSERT_TRUE(child->WaitForErrors(Format(kReceivePrompt, 19200))) << child->errors();
        ASSERT_TRUE(InputTaken(pty.slave()));
        ASSERT_TRUE(child->WaitUntilAsleep());
        ASSERT_TRUE(WriteAll(pty.master(), sent.substr(sent.size() - c.lastBytes)));
    }
    EXPECT_EQ(child->Wait(20).exitCode, 1);
    EXPECT_EQ(ReadFile(target), sent);
    EXPECT_TRUE(Contains(child->errors(), Format(kReceivePrompt, 19200))) << child->errors();
    EXPECT_TRUE(Contains(child->errors(), kReceiveDone)) << child->errors();
}

INSTANTIATE_TEST_SUITE_P(Stdio, HandedPortReceive,
                         ::testing::Values(ReceiveCase{"queued_before_it_starts", 1, 0},
                                           // poll() says readable only once VMIN bytes have come
                                           ReceiveCase{"last_bytes_on_a_line_with_vmin_4", 4, 3}),
                         CaseName());

// True once the kernel holds the output of the pty's slave: the XOFF that
// the test wrote has been taken (a byte written before that is harmless).
bool OutputStopped(int slave, int flags) {
    fcntl(slave, F_SETFL, flags | O_NONBLOCK);
    bool stopped = false;
    for (const double end = Now() + 10; !stopped && Now() < end; usleep(10000))
        stopped = write(slave, "", 1) < 0 && errno == EAGAIN;
    fcntl(slave, F_SETFL, flags);
    return stopped;
}

// Ctrl+C while waiting for the device, and while the device holds the
// sender with XOFF (a blocking write would never return to see it); and
// SIGKILL there, which minicom sends on its Ctrl+C. The descriptors share
// their open file descriptions with the terminal program: their flags are
// the same while velta runs and after it, however it ends.
struct AbortCase {
    const char* name;
    std::vector<std::string> args;
    const char* waitFor;
    tcflag_t iflag;  // IXON: the kernel stops the line on XOFF; 0: velta reads the XOFF itself
    int signal;
};
CASE_TABLE(HandedPortAbort, AbortCase);

TEST_P(HandedPortAbort, EndsAndLeavesTheFlagsAsTheTerminalProgramSetThem) {
    const AbortCase& c = GetParam();
    ScratchDir dir;
    Pty pty;
    SetLine(pty.slave(), B38400, c.iflag);
    ASSERT_TRUE(WriteAll(pty.master(), "\x13"));  // XOFF
    const int flagsBefore = fcntl(pty.slave(), F_GETFL);
    if (c.iflag & IXON) {
        ASSERT_TRUE(OutputStopped(pty.slave(), flagsBefore));
        ReadUntilQuiet(pty.master(), 0.1, 2);  // what the probe got through before the stop
    }
    auto child =
        StartHanded(Joined({dir.File("program.bin", Pattern(2000)), "--stdio"}, c.args), pty.slave(), pty.slave());
    ASSERT_TRUE(child->WaitForErrors(c.waitFor)) << child->errors();
    ASSERT_TRUE(child->WaitUntilAsleep());
    EXPECT_EQ(fcntl(pty.slave(), F_GETFL), flagsBefore) << "while velta runs";
    child->Signal(c.signal);
    const ProcessResult r = child->Wait(20);
    if (c.signal == SIGKILL) {
        EXPECT_EQ(r.signal, SIGKILL);
    } else {
        EXPECT_EQ(r.exitCode, 1) << child->errors();
        EXPECT_TRUE(Contains(child->errors(), kAborted)) << child->errors();
    }
    EXPECT_EQ(fcntl(pty.slave(), F_GETFL), flagsBefore);
    EXPECT_EQ(ReadUntilQuiet(pty.master(), 0.2, 5), "") << "sent while XOFF stood";
}

INSTANTIATE_TEST_SUITE_P(
    Stdio, HandedPortAbort,
    ::testing::Values(AbortCase{"waiting_for_the_device", {"-MR", "-F2"}, "bps", IXON, SIGINT},
                      AbortCase{"waiting_for_the_device_killed", {"-MR", "-F2"}, "bps", IXON, SIGKILL},
                      AbortCase{"sender_held_by_xoff", {"-MS", "-F2"}, "W\r", IXON, SIGINT},
                      AbortCase{"sender_held_by_xoff_killed", {"-MS", "-F2"}, "W\r", IXON, SIGKILL},
                      AbortCase{"sender_reading_the_xoff_itself", {"-MS", "-F2"}, "W\r", 0, SIGINT},
                      AbortCase{"sender_reading_the_xoff_itself_killed", {"-MS", "-F2"}, "W\r", 0, SIGKILL}),
    CaseName());

// ---- inside picocom ----

// picocom on a console of its own, which the test types into and reads; it
// answers the cursor-position query of picocom's line editor.
class Picocom : public Process {
public:
    Picocom(const ScratchDir& dir, const std::string& port, std::vector<std::string> options)
        : Process(Command(port, options), Options(dir)) {}
    const std::string& screen() const { return output(); }  // everything picocom and what it ran showed
    bool Alive() { return !Ended(0); }
    // Reads the console until text appears after position `from`.
    bool WaitFor(const std::string& text, size_t from = 0, double seconds = 60) {
        for (const double end = Now() + seconds; screen().find(text, from) == std::string::npos;) {
            if (Now() > end) return false;
            ReadSome(0.05);
            for (size_t at; (at = screen().find("\x1b[6n", answered_)) != std::string::npos; answered_ = at + 4)
                Type("\x1b[1;80R");
        }
        return true;
    }
    // The escape key, then a command key, then the file name at the prompt.
    void Transfer(char commandKey, const std::string& file) {
        Type(std::string("\x01") + commandKey);
        WaitFor("*** file: ", screen().size(), 20);
        Type(file + "\r");
    }

private:
    static std::vector<std::string> Command(const std::string& port, std::vector<std::string> options) {
        options.insert(options.begin(), "picocom");
        options.push_back(port);
        return options;
    }
    // velta found on the PATH; picocom keeps its history in HOME.
    static ProcessOptions Options(const ScratchDir& dir) {
        ProcessOptions o;
        o.console = true;
        o.env = {"PATH=" + kVelta.substr(0, kVelta.rfind('/')) + ":" + std::getenv("PATH"), "HOME=" + dir.Path(""),
                 "TERM=xterm", "LC_ALL=C", std::string("LD_PRELOAD=") + MODEM_RECORD_SHIM,
                 "VELTA_MODEM_LOG=" + dir.Path("modem.log")};
        return o;
    }
    size_t answered_ = 0;
};

// The status flags of picocom's own descriptor of the port, from /proc.
int PortFlagsOf(pid_t pid, const std::string& port) {
    for (int fd = 0; fd < 64; ++fd) {
        const std::string link = "/proc/" + std::to_string(pid) + "/fd/" + std::to_string(fd);
        char target[256];
        ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
        if (n <= 0 || std::string(target, static_cast<size_t>(n)) != port) continue;
        std::ifstream info("/proc/" + std::to_string(pid) + "/fdinfo/" + std::to_string(fd));
        for (std::string key; info >> key;) {
            if (key != "flags:") continue;
            int flags = 0;
            info >> std::oct >> flags;
            return flags;
        }
    }
    return -1;
}

// The flags each velta run found on standard input, from the shim's log;
// fails the test for any modem-line request recorded.
std::vector<int> StartFlagsWithoutModemCalls(const std::string& log) {
    std::vector<int> flags;
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);) {
        if (line.compare(0, 6, "start ") == 0) {
            flags.push_back(static_cast<int>(std::strtol(line.c_str() + 6, nullptr, 8)));
        } else if (line != "end") {
            ADD_FAILURE() << "velta made a modem-line request: " << line;
        }
    }
    return flags;
}

const char kExited[] = "*** exit status: 1 ***";

// A console text as picocom's terminal shows it: each line feed output as
// carriage return and line feed, as a terminal in its usual mode does.
std::string OnScreen(const char* text) {
    std::string out;
    for (const char* c = text; *c; ++c) out += *c == '\n' ? std::string("\r\n") : std::string(1, *c);
    return out;
}

// The command lines of the README.
const std::vector<std::string> kReadmeCommands = {
    "--send-cmd", "sh -c 'exec velta \"$0\" --stdio -S4000'", "--receive-cmd", "sh -c 'exec velta \"$0\" -MR --stdio'"};

// The shim records what it is meant to: a normal run raises DTR.
TEST(PicocomShim, RecordsTheModemLineCallsOfANormalRun) {
    ScratchDir dir;
    Pty pty;
    const std::string log = dir.Path("modem.log");
    ProcessOptions options;
    options.env = {"LC_ALL=C", std::string("LD_PRELOAD=") + MODEM_RECORD_SHIM, "VELTA_MODEM_LOG=" + log};
    LineRun run = RunSend(pty, {dir.File("a.bin", "abc")}, options);
    EXPECT_EQ(run.process.exitCode, 1);
    EXPECT_TRUE(Contains(ReadFile(log), "start ")) << ReadFile(log);
    EXPECT_TRUE(Contains(ReadFile(log), "TIOCMBIS\n")) << ReadFile(log);
}

TEST(Picocom, SendsAndReceivesThroughItsCommandsAndLeavesItUsable) {
    ScratchDir dir;
    Pty line;      // picocom's port; the test holds the far end
    Pty simLine;   // velta-sim's port, joined to picocom's by a relay
    Picocom picocom(dir, line.path(), Joined({"-b", "38400"}, kReadmeCommands));
    ASSERT_TRUE(picocom.WaitFor("Terminal ready", 0, 20)) << picocom.screen();
    const termios settings = SettingsOf(line.slave());
    const std::string data = Pattern(3000, 11);
    const std::string program = dir.File("program.bin", data);

    {  // send: the simulator loads the file
        Relay relay(line.master(), simLine.master());
        Sim sim({"--port", simLine.path(), "--baud", "38400", "--save", dir.Path("loaded")});
        const size_t from = picocom.screen().size();
        picocom.Transfer('\x13', program);  // C-a C-s
        ASSERT_TRUE(picocom.WaitFor(kExited, from)) << picocom.screen().substr(from);
        ProcessResult r = sim.Finish(30);
        EXPECT_EQ(r.exitCode, 0) << r.output;
        EXPECT_EQ(ReportLine(r.output, "complete:"), CompleteLine(data, 0x4000, 0)) << r.output;
        EXPECT_EQ(ReadFile(dir.Path("loaded")), data);
        EXPECT_TRUE(Contains(picocom.screen().substr(from), kSendDone)) << picocom.screen().substr(from);
    }
    const int sendFlags = PortFlagsOf(picocom.pid(), line.path());

    {  // receive: the simulator sends, velta stores
        Relay relay(line.master(), simLine.master());
        Sim sim({"--port", simLine.path(), "--baud", "38400", "--send", program, "--load", "1200", "--run", "1210",
                 "--wait-stdin"});
        const size_t from = picocom.screen().size();
        picocom.Transfer('\x12', dir.Path("received.bin"));  // C-a C-r
        ASSERT_TRUE(picocom.WaitFor(Format(kReceivePrompt, 38400), from, 20)) << picocom.screen().substr(from);
        sim.Go();  // the operator's go
        ASSERT_TRUE(picocom.WaitFor(kExited, from)) << picocom.screen().substr(from);
        EXPECT_EQ(ReadFile(dir.Path("received.bin")), HeaderBytes(16 + 3000, 0x1200, 0x1210) + data);
        EXPECT_TRUE(Contains(picocom.screen().substr(from), kReceiveDone)) << picocom.screen().substr(from);
        sim.Finish(30);
    }

    // The port as picocom set it; the flags as picocom handed them over.
    ExpectSettingsKept(settings, line.slave());
    const std::vector<int> handed = StartFlagsWithoutModemCalls(ReadFile(dir.Path("modem.log")));
    ASSERT_EQ(handed.size(), 2u) << "the shim was in both velta runs";
    EXPECT_EQ(sendFlags & kFlagMask, handed[0] & kFlagMask);
    EXPECT_EQ(PortFlagsOf(picocom.pid(), line.path()) & kFlagMask, handed[1] & kFlagMask);

    // Still picocom's terminal: typing reaches the line, the line the screen.
    ASSERT_TRUE(picocom.Alive()) << picocom.screen();
    picocom.Type("hello");
    EXPECT_EQ(ReadExactly(line.master(), 5, 10), "hello");
    const size_t from = picocom.screen().size();
    ASSERT_TRUE(WriteAll(line.master(), "device says hi"));
    EXPECT_TRUE(picocom.WaitFor("device says hi", from, 10)) << picocom.screen().substr(from);
    picocom.Type("\x01\x18");  // C-a C-x: picocom's own exit
    EXPECT_TRUE(picocom.WaitFor("Thanks for using picocom", from, 10)) << picocom.screen().substr(from);
}

// Ctrl+C typed on picocom's terminal reaches velta while the device holds
// it with XOFF; picocom gets its port back as it handed it over.
TEST(Picocom, CtrlCWhileTheDeviceHoldsTheSenderWithXoff) {
    ScratchDir dir;
    Pty line;
    Pty simLine;
    // A line that obeys XOFF is no raw line unless velta is told, with -F2,
    // that XON/XOFF is the flow control meant.
    Picocom picocom(dir, line.path(),
                    {"-b", "9600", "-f", "x", "--send-cmd", "sh -c 'exec velta \"$0\" --stdio -S4000 -F2'"});
    ASSERT_TRUE(picocom.WaitFor("Terminal ready", 0, 20)) << picocom.screen();
    const termios settings = SettingsOf(line.slave());
    ASSERT_TRUE(settings.c_iflag & IXON) << "picocom -f x obeys XOFF";
    Relay relay(line.master(), simLine.master());
    Sim sim({"--port", simLine.path(), "--baud", "9600", "--hang-after", "64", "--idle", "60"});
    const size_t from = picocom.screen().size();
    // More than the pseudo-terminals and the relay can hold, so the sender is
    // still held when Ctrl+C comes, however late the XOFF arrives.
    picocom.Transfer('\x13', dir.File("program.bin", Pattern(400000)));
    ASSERT_TRUE(sim.WaitFor("hanging:", 30));
    ASSERT_TRUE(picocom.WaitFor("|", from, 10)) << picocom.screen().substr(from);  // the data has begun
    picocom.Type("\x03");
    ASSERT_TRUE(picocom.WaitFor(kExited, from, 20)) << picocom.screen().substr(from);
    EXPECT_TRUE(Contains(picocom.screen().substr(from), OnScreen(kAborted))) << picocom.screen().substr(from);
    ExpectSettingsKept(settings, line.slave());
    const std::vector<int> handed = StartFlagsWithoutModemCalls(ReadFile(dir.Path("modem.log")));
    ASSERT_EQ(handed.size(), 1u);
    EXPECT_EQ(PortFlagsOf(picocom.pid(), line.path()) & kFlagMask, handed[0] & kFlagMask);
    EXPECT_TRUE(picocom.Alive()) << picocom.screen();
    sim.Stop();
    sim.Finish(30);
}

// ---- inside minicom ----

// The lines that set up minicom's protocol table, from
// docs/TERMINAL-PROGRAMS.md, where the README sends minicom's users.
std::string ReadmeMinicomLines() {
    std::istringstream readme(ReadFile(VELTA_TERMINAL_DOC));
    std::string lines;
    for (std::string line; std::getline(readme, line);)
        if (line.compare(0, 8, "pu pname") == 0 || line.compare(0, 8, "pu pprog") == 0) lines += line + "\n";
    return lines;
}

// minicom 2.8 in a private tmux server, set up in a HOME of its own with
// the documented entries, plus the test's port, rate, the file name typed
// at a prompt, and one entry with --exit-status. velta is found on the PATH.
class Minicom {
public:
    Minicom(const ScratchDir& dir, const std::string& port)
        : config_(dir.File(".minirc.dfl", Config(port))),
          screen_({"minicom"}, {"HOME=" + dir.Path(""), "MINICOM=", "LC_ALL=C",
                                "PATH=" + kVelta.substr(0, kVelta.rfind('/')) + ":" + std::getenv("PATH"),
                                std::string("LD_PRELOAD=") + MODEM_RECORD_SHIM,
                                "VELTA_MODEM_LOG=" + dir.Path("modem.log")}) {}
    const TmuxScreen& screen() const { return screen_; }
    const std::string& shown() const { return shown_; }

    // Runs a protocol entry from minicom's menu (C-a s uploads, C-a r
    // downloads) with the file name typed at its prompt.
    bool Start(const char* menuKey, const std::string& menu, const std::string& entry, const std::string& typed) {
        screen_.Keys({"C-a", menuKey});
        if (!screen_.WaitFor("[" + menu + "]", 20)) return false;
        const int place = MenuPlace(screen_.Screen(), "[" + menu + "]", entry);
        if (place < 0) return false;
        for (int i = 0; i < place; ++i) screen_.Keys({"Down"});
        screen_.Keys({"Enter"});
        if (!screen_.WaitFor("Please enter file names", 20)) return false;
        screen_.Type(typed);
        screen_.Keys({"Enter"});
        return screen_.WaitFor(entry + (menu == "Upload" ? " upload" : " download"), 20);
    }
    // What minicom says once the program has ended (whether it calls the run
    // a failure), and the key that closes its window; shown() is the screen
    // before that key.
    std::string Verdict() {
        if (!screen_.WaitFor("any key to continue", 60)) return "no verdict: " + screen_.Screen();
        const std::string& shown = shown_ = screen_.Screen();
        screen_.Keys({"Enter"});
        screen_.WaitForGone("any key to continue", 20);
        return shown.find("Failure executing protocol") != std::string::npos ? "failure"
               : shown.find("READY") != std::string::npos                   ? "ready"
                                                                            : "other: " + shown;
    }

private:
    static std::string Config(const std::string& port) {
        return "pu port             " + port + "\npu baudrate         38400\npu fselw            No\n" +
               ReadmeMinicomLines() +
               "pu pname12          YUNYNvelta-status\n"
               "pu pprog12          sh -c 'exec velta \"$0\" --stdio --exit-status'\n";
    }
    // The place of an entry in one of minicom's menus, counted from its first.
    static int MenuPlace(const std::string& shown, const std::string& title, const std::string& entry) {
        std::istringstream lines(shown);
        size_t column = std::string::npos;
        int place = 0;
        for (std::string line; std::getline(lines, line);) {
            if (column == std::string::npos) {
                const size_t at = line.find(title);
                if (at != std::string::npos) column = line.rfind('+', at);
                continue;
            }
            if (line.size() <= column || line[column] != '|') break;
            std::istringstream cell(line.substr(column + 1));
            std::string name;
            cell >> name;
            if (name == entry) return place;
            ++place;
        }
        return -1;
    }
    const std::string config_;  // written before minicom starts, which reads it once
    TmuxScreen screen_;
    std::string shown_;
};

// The documented protocol table in the real minicom, velta-sim behind a
// relay: a send and a reception byte-exact; a file name with a blank, which
// the shell gets as typed; --exit-status, whose statuses minicom does not
// tell apart; Ctrl+C at the reception prompt, which minicom answers with
// SIGKILL while the terminal sends SIGINT; and after all of it the port
// minicom holds with the flags and settings minicom gave it, still its
// terminal. docs/TERMINAL-PROGRAMS.md says what this shows.
TEST(Minicom, RunsTheDocumentedProtocolsAndGetsItsPortBackAsItSetIt) {
    ScratchDir dir;
    Pty line;
    Pty simLine;
    Minicom minicom(dir, line.path());
    const TmuxScreen& screen = minicom.screen();
    ASSERT_TRUE(screen.Started());
    // Shown once minicom has opened and set up its port.
    ASSERT_TRUE(screen.WaitFor("Press CTRL-A Z for help", 30)) << screen.Screen();
    const termios settings = SettingsOf(line.slave());
    EXPECT_TRUE(settings.c_cflag & CRTSCTS) << "minicom's default is hardware flow control";
    const int flags = PortFlagsOf(screen.pid(), line.path());
    ASSERT_GE(flags, 0);
    EXPECT_FALSE(flags & O_NONBLOCK);
    const std::string data = Pattern(3000, 5);
    const std::string program = dir.File("my program.bin", data);

    {  // send, the name typed in quotes: the simulator loads the file; velta
       // ends with 1, which minicom calls a failure
        Relay relay(line.master(), simLine.master());
        Sim sim({"--port", simLine.path(), "--baud", "38400", "--save", dir.Path("loaded")});
        ASSERT_TRUE(minicom.Start("s", "Upload", "velta", "'" + program + "'")) << screen.Screen();
        EXPECT_EQ(minicom.Verdict(), "failure");
        ProcessResult r = sim.Finish(30);
        EXPECT_EQ(r.exitCode, 0) << r.output;
        EXPECT_EQ(ReportLine(r.output, "complete:"), CompleteLine(data, 0x4000, 0)) << r.output;
        EXPECT_EQ(ReadFile(dir.Path("loaded")), data);
    }
    {  // receive: minicom drops what came before velta started, so the device
       // starts once velta asks for it
        Relay relay(line.master(), simLine.master());
        Sim sim({"--port", simLine.path(), "--baud", "38400", "--send", program, "--load", "1200", "--wait-stdin"});
        ASSERT_TRUE(minicom.Start("r", "Download", "velta-rx", dir.Path("received.bin"))) << screen.Screen();
        ASSERT_TRUE(screen.WaitFor("38400bps", 30)) << screen.Screen();
        sim.Go();
        EXPECT_EQ(minicom.Verdict(), "failure");
        EXPECT_EQ(ReadFile(dir.Path("received.bin")), HeaderBytes(16 + 3000, 0x1200) + data);
        sim.Finish(30);
    }
    // The same name unquoted: velta gets the part before the blank, a file
    // that is not there, and --exit-status ends with 4, which minicom takes
    // for success.
    ASSERT_TRUE(minicom.Start("s", "Upload", "velta-status", program)) << screen.Screen();
    EXPECT_EQ(minicom.Verdict(), "ready");
    EXPECT_TRUE(Contains(minicom.shown(), "/my:")) << minicom.shown();  // "cannot open DIR/my: ..."

    // Ctrl+C while velta waits for the device: its window closes either way.
    ASSERT_TRUE(minicom.Start("r", "Download", "velta-rx", dir.Path("interrupted.bin"))) << screen.Screen();
    ASSERT_TRUE(screen.WaitFor("38400bps", 30)) << screen.Screen();
    screen.Keys({"C-c"});
    // minicom's SIGKILL closes the window at once; a velta that the SIGINT
    // ended first leaves minicom's verdict on it, waiting for a key.
    for (const double end = Now() + 30; Contains(screen.Screen(), "velta-rx download"); usleep(50000)) {
        if (Contains(screen.Screen(), "any key to continue")) screen.Keys({"Enter"});
        ASSERT_LT(Now(), end) << screen.Screen();
    }
    const std::string log = ReadFile(dir.Path("modem.log"));
    const std::vector<int> handed = StartFlagsWithoutModemCalls(log);
    ASSERT_EQ(handed.size(), 4u) << log;
    // Whether the last run, too, reached its exit (the shim's "end") before the SIGKILL.
    size_t ends = 0;
    for (size_t at = 0; (at = log.find("end\n", at)) != std::string::npos; at += 4) ++ends;
    const bool inOrder = ends == handed.size();
    const char* outcome = inOrder ? "velta ended in order before the SIGKILL" : "the SIGKILL ended velta";
    ::testing::Test::RecordProperty("ctrl_c", outcome);
    std::printf("minicom's Ctrl+C: %s\n", outcome);

    // The port as minicom set it, whoever won.
    for (int h : handed) EXPECT_EQ(h & kFlagMask, flags & kFlagMask);
    EXPECT_EQ(PortFlagsOf(screen.pid(), line.path()), flags);
    ExpectSettingsKept(settings, line.slave());

    // Still minicom's terminal: typing reaches the line, the line the screen.
    screen.Type("hello");
    EXPECT_EQ(ReadExactly(line.master(), 5, 10), "hello");
    ASSERT_TRUE(WriteAll(line.master(), "device says hi"));
    EXPECT_TRUE(screen.WaitFor("device says hi", 20)) << screen.Screen();
    screen.Keys({"C-a", "q"});  // minicom's own exit, which removes its lock file
    ASSERT_TRUE(screen.WaitFor("Leave without reset?", 20)) << screen.Screen();
    screen.Keys({"Enter"});
    EXPECT_TRUE(screen.WaitForExit(20)) << screen.Screen();
}

}  // namespace

