// VELTA.exe under Wine against pseudo-terminals: what the Win32 back end
// leaves on the line (speed, handshaking, raw 8N1, DTR), exact bytes both
// ways, Ctrl+C at the prompt, in received data and while XOFF holds the
// sender, exit statuses, and the console bytes through a pipe (CP932, CR LF).
// The modem-line shim records DTR changes and the start of each serial wait
// in a log, which is how a case knows the program is waiting for data.
#include <gtest/gtest.h>

#include <signal.h>
#include <termios.h>

#include <filesystem>
#include <string>
#include <vector>

#include "console_text.h"
#include "line_check.h"
#include "target_wine.h"
#include "wine_fixture.h"

namespace {

constexpr char kXon = 0x11, kXoff = 0x13;
constexpr double kRunTimeout = kWineRunTimeout;

std::string Marks(int count) { return std::string(static_cast<size_t>(count), 'o'); }

// Every byte value, so that XON, XOFF, 0x1A, CR and LF all cross the line.
std::string AllByteValues(size_t length) {
    std::string data;
    for (size_t i = 0; i < length; ++i) data.push_back(static_cast<char>(i * 7 % 256));
    return data;
}

using WineRun = WineCase;

// --- exit statuses and console text through a pipe -------------------------

struct StatusCase {
    const char* name;
    std::vector<std::string> args;
    int status;
    std::string output;
};

CASE_TABLE_ON(WineExitStatus, StatusCase, WineTable<StatusCase>);

TEST_P(WineExitStatus, StatusAndConsoleBytes) {
    const StatusCase& c = GetParam();
    Write("f.bin", "data");  // the file to send is looked at before the port
    ProcessResult r = Run(c.args, c.status);
    EXPECT_EQ(r.output, Wine().Console(c.output));
}

INSTANTIATE_TEST_SUITE_P(
    Wine, WineExitStatus,
    ::testing::Values(
        // exit(-1) reaches the Unix parent as 255, as it does natively.
        StatusCase{"NoArguments", {}, 255, Banner() + Usage()},
        StatusCase{"ModeNeitherSendNorReceive", {"f.bin", "-MX"}, 255, Banner() + Usage()},
        StatusCase{"RateNotAmongTheEight", {"f.bin", "-B9601"}, 255, Banner() + Usage()},
        // COM0 (also -P256) is never linked in the test prefix.
        StatusCase{"MissingPort", {"f.bin", "-P256"}, 1, Banner() + kOpenFailed}),
    CaseName());

TEST_F(WineRun, FileThatCannotBeOpenedReleasesThePort) {
    Pty pty;
    const std::string name = "no-such-folder/in.bin";
    ProcessResult r = Run({name, "-MR", Wine().PortOption(pty.path())}, 1);
    EXPECT_EQ(r.output, Wine().Console(Banner() + Format(kCannotOpen, name.c_str())));
    EXPECT_EQ(DtrLog(), kDtrOpenThenClosed);
}

// On a console the CP932 texts reach the screen as characters: Wine's console
// on a UTF-8 terminal shows them in UTF-8, whatever the console code page.
// What the user gave (a file name, in the ANSI code page) shows as the user
// wrote it beside them, also where that code page is not CP932 (German: 1252).
struct ConsoleCase {
    const char* name;
    const char* locale;              // LC_ALL=... or LANG=...
    std::vector<std::string> args;   // "PORT" stands for the port option
    int status;
    std::vector<std::string> texts;  // each must show, in UTF-8
};

CASE_TABLE_ON(WineConsole, ConsoleCase, WineTable<ConsoleCase>);

TEST_P(WineConsole, ShowsTheTextsAsCharacters) {
    const ConsoleCase& c = GetParam();
    Pty pty;
    ProcessOptions options;
    options.terminal = true;
    for (const std::string& entry : Wine().Environment())
        if (entry.rfind("VELTA_SHIM_PLAIN_TERMINAL=", 0) != 0 && entry.rfind("LC_ALL=", 0) != 0)
            options.env.push_back(entry);
    options.env.push_back(c.locale);
    options.workingDirectory = Path("");
    std::vector<std::string> args = c.args;
    for (std::string& arg : args)
        if (arg == "PORT") arg = Wine().PortOption(pty.path());
    ProcessResult r = RunProcess(Wine().Command(args), options, kRunTimeout);
    ASSERT_FALSE(r.timedOut);
    EXPECT_EQ(r.exitCode, c.status);
    for (const std::string& text : c.texts) EXPECT_NE(r.output.find(text), std::string::npos) << text << "\n" << r.output;
}

INSTANTIATE_TEST_SUITE_P(
    Wine, WineConsole,
    ::testing::Values(ConsoleCase{"Japanese", "LC_ALL=C.UTF-8", {"f.bin", "-MX"}, 255,
                                  {u8"File Transfer Utility ｢VELTA｣ Version 1.05/Win32", u8"格納開始アドレス（１６進数）",
                                   u8"転送速度（300～38400）", u8"フロー制御(0:なし,1:ハード,2:ソフト)"}},
                      // The locale must exist (scripts/install-deps.sh makes it), or Wine mangles the name.
                      ConsoleCase{"GermanFileName", "LANG=de_DE.UTF-8", {u8"Grüße.bin", "-MS", "PORT"}, 1,
                                  {u8"Grüße.bin をオープンできません"}}),
    CaseName());

// --- line settings, read back from the test's own descriptor ---------------

struct LineCase {
    const char* name;
    std::vector<std::string> options;
    int rate;
    speed_t speed;
    bool crtscts, ixon, ixoff;
};

CASE_TABLE_ON(WineLineSettings, LineCase, WineTable<LineCase>);

// Receiving waits at the prompt, so the line can be read back while the
// port is open; Ctrl+C then ends the wait.
TEST_P(WineLineSettings, ReadBackAtThePromptThenCtrlC) {
    const LineCase& c = GetParam();
    Pty pty;
    MakeCooked(pty.slave());
    auto program = Start(Joined({"in.bin", "-MR", Wine().PortOption(pty.path())}, c.options));
    ASSERT_TRUE(WaitForShim(kWaiting)) << ShimLog();
    EXPECT_EQ(DtrLog(), "DTR 1\n");

    ExpectRawLine(pty.slave(), {c.speed, c.crtscts, c.ixon, c.ixoff});

    program->Signal(SIGINT);
    ProcessResult r = Finish(*program);
    EXPECT_EQ(r.output, Wine().Console(Banner() + Format(kReceivePrompt, c.rate) + kAborted));
    EXPECT_EQ(DtrLog(), kDtrOpenThenClosed);
    EXPECT_TRUE(Exists("in.bin"));
    EXPECT_EQ(Read("in.bin"), "");
}

INSTANTIATE_TEST_SUITE_P(
    Wine, WineLineSettings,
    ::testing::Values(LineCase{"NoHandshake", {"-F0"}, 9600, B9600, false, false, false},
                      LineCase{"Hardware", {"-F1", "-B300"}, 300, B300, true, false, false},
                      // Software flow control while receiving: we send XOFF/XON, never obey them.
                      LineCase{"Software", {"-F2", "-B19200"}, 19200, B19200, false, false, true},
                      LineCase{"Fastest", {"-B38400"}, 38400, B38400, false, false, false},
                      LineCase{"UnknownFlowIsNone", {"-F7", "-B1200"}, 1200, B1200, false, false, false}),
    CaseName());

// --- exact bytes both ways ---------------------------------------------------

TEST_F(WineRun, SendsHeaderAndDataExactly) {
    Pty pty;
    const std::string data = AllByteValues(300);
    Write("out.bin", data);
    auto program = Start({"out.bin", "-MS", "-B19200", Wine().PortOption(pty.path())});
    const std::string expected = HeaderBytes(316, 0x2000) + data;
    EXPECT_EQ(ReadExactly(pty.master(), expected.size(), kRunTimeout), expected);
    ProcessResult r = Finish(*program);
    std::string headerBytes;
    for (int i = 0; i < 16; ++i) headerBytes += std::string(kHeaderByteWriting) + kHeaderByteSent;
    EXPECT_EQ(r.output, Wine().Console(Banner() + Format(kSendHeaderLine, 0x20, 0x00, 0x00, 0x00, 300ul) +
                                       headerBytes + kSendFrame + Marks(10) + kSendDone));
    EXPECT_EQ(DtrLog(), kDtrOpenThenClosed);
}

// --dtr and --rts through the DCB and EscapeCommFunction, as Wine hands them
// to the pseudo-terminal's (shimmed) modem lines. Wine reports the lines'
// state at open as the saved control, so the close puts RTS back down.
struct ModemCase {
    const char* name;
    std::vector<std::string> options;
    std::string log;  // DTR and RTS changes, in order; both start low
};

CASE_TABLE_ON(WineModemLines, ModemCase, WineTable<ModemCase>);

TEST_P(WineModemLines, ChangesAsTheOptionsSay) {
    const ModemCase& c = GetParam();
    Pty pty;
    Write("out.bin", AllByteValues(100));
    auto program = Start(Joined({"out.bin", "--exit-status", Wine().PortOption(pty.path())}, c.options),
                         {"VELTA_SHIM_RTS=1"});
    const std::string expected = HeaderBytes(116, 0x2000) + AllByteValues(100);
    EXPECT_EQ(ReadExactly(pty.master(), expected.size(), kRunTimeout), expected);
    ProcessResult r = program->Wait(kRunTimeout);
    ASSERT_FALSE(r.timedOut);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(ShimLog(), c.log);
}

INSTANTIATE_TEST_SUITE_P(
    Wine, WineModemLines,
    ::testing::Values(ModemCase{"AsAlways", {}, "DTR 1\nRTS 1\nDTR 0\nRTS 0\n"},
                      ModemCase{"DtrOffNeverRaisesIt", {"--dtr", "off"}, "RTS 1\nRTS 0\n"},
                      ModemCase{"DtrKeepLeavesItRaised", {"--dtr=keep"}, "DTR 1\nRTS 1\nRTS 0\n"},
                      ModemCase{"RtsOff", {"--rts", "off"}, "DTR 1\nDTR 0\n"},
                      ModemCase{"BothOff", {"--dtr", "off", "--rts", "off"}, ""}),
    CaseName());

using WineReceive = WineTable<const char*>;

// XON and XOFF in the data arrive as data, also with software flow control.
TEST_P(WineReceive, StoresHeaderAndDataExactly) {
    Pty pty;
    auto program = Start({"in.bin", "-MR", "-B4800", GetParam(), Wine().PortOption(pty.path())});
    ASSERT_TRUE(WaitForShim(kWaiting)) << ShimLog();
    const std::string sent = HeaderBytes(316, 0x8000) + AllByteValues(300);
    ASSERT_TRUE(WriteAll(pty.master(), sent));
    ProcessResult r = Finish(*program);
    EXPECT_EQ(Read("in.bin"), sent);
    EXPECT_EQ(r.output, Wine().Console(Banner() + Format(kReceivePrompt, 4800) + "\r" +
                                       Format(kReceiveHeaderLine, 0x8000, 0, 300ul) + kReceiveFrame + Marks(10) +
                                       kReceiveDone));
    EXPECT_EQ(DtrLog(), kDtrOpenThenClosed);
}

INSTANTIATE_TEST_SUITE_P(Wine, WineReceive, ::testing::Values("-F0", "-F2"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                             return std::string(info.param[2] == '0' ? "NoHandshake" : "Software");
                         });

// \\.\COMn reaches ports above 9, and only the low 8 bits of -P count.
TEST_F(WineRun, OpensComPortsAboveNine) {
    Pty pty;
    LinkWinePort(123, pty.path());
    Write("out.bin", "abc");
    auto program = Start({"out.bin", "-MS", "-N", "-P379"});
    EXPECT_EQ(ReadExactly(pty.master(), 3, kRunTimeout), "abc");
    ProcessResult r = Finish(*program);
}

// --- Ctrl+C ----------------------------------------------------------------

TEST_F(WineRun, CtrlCInReceivedData) {
    Pty pty;
    auto program = Start({"in.bin", "-MR", Wine().PortOption(pty.path())});
    ASSERT_TRUE(WaitForShim(kWaiting)) << ShimLog();
    const std::string sent = HeaderBytes(1016, 0x2000) + AllByteValues(100);
    ASSERT_TRUE(WriteAll(pty.master(), sent));
    // Waiting again: everything sent has been taken.
    ASSERT_TRUE(WaitForShim(kWaiting + "WAIT\n")) << ShimLog();
    program->Signal(SIGINT);
    ProcessResult r = Finish(*program);
    // 100 of 1000 data bytes: one mark of ten.
    EXPECT_EQ(r.output, Wine().Console(Banner() + Format(kReceivePrompt, 9600) + "\r" +
                                       Format(kReceiveHeaderLine, 0x2000, 0, 1000ul) + kReceiveFrame + Marks(1) +
                                       kAborted));
    EXPECT_EQ(DtrLog(), kDtrOpenThenClosed);
    // Nothing that did not arrive is stored.
    const std::string stored = Read("in.bin");
    EXPECT_EQ(stored, sent.substr(0, stored.size()));
}

// Ctrl+C as soon as the port is configured, before the wait for the first
// byte has begun (or while it begins): the wait must end, not block.
TEST_F(WineRun, CtrlCBeforeTheWaitBegins) {
    Pty pty;
    auto program = Start({"in.bin", "-MR", Wine().PortOption(pty.path())});
    ASSERT_TRUE(WaitForShim("DTR 1\n", 30)) << ShimLog();
    program->Signal(SIGINT);
    ProcessResult r = Finish(*program);
    EXPECT_EQ(r.output, Wine().Console(Banner() + Format(kReceivePrompt, 9600) + kAborted));
    EXPECT_EQ(DtrLog(), kDtrOpenThenClosed);
}

// XOFF holds the sender and XON releases it; every byte arrives once, in order.
TEST_F(WineRun, XoffHoldsTheSenderAndXonReleasesIt) {
    Pty pty;
    const std::string data = AllByteValues(2000);
    Write("out.bin", data);
    auto program = Start({"out.bin", "-MS", "-F2", Wine().PortOption(pty.path())});
    std::string received = ReadExactly(pty.master(), 1, kRunTimeout);
    ASSERT_EQ(received.size(), 1u);
    ASSERT_TRUE(WriteAll(pty.master(), std::string(1, kXoff)));
    received += ReadUntilQuiet(pty.master(), 1.0, 20);
    const std::string expected = HeaderBytes(2016, 0x2000) + data;
    EXPECT_LT(received.size(), expected.size());
    ASSERT_TRUE(WriteAll(pty.master(), std::string(1, kXon)));
    received += ReadExactly(pty.master(), expected.size() - received.size(), kRunTimeout);
    EXPECT_EQ(received, expected);
    ProcessResult r = Finish(*program);
    const std::string done = Wine().Console(kSendDone);
    EXPECT_EQ(Tail(r.output, done.size()), done);
}

// XOFF holds the sender; Ctrl+C ends the run at once, the held byte is
// never sent, and the port can be opened again straight away.
TEST_F(WineRun, CtrlCWhileXoffHoldsTheSender) {
    Pty pty;
    const std::string port = Wine().PortOption(pty.path());
    Write("big.bin", AllByteValues(64 * 1024));
    auto program = Start({"big.bin", "-MS", "-F2", "-B38400", port});
    ASSERT_EQ(ReadExactly(pty.master(), 1, kRunTimeout).size(), 1u);
    ASSERT_TRUE(WriteAll(pty.master(), std::string(1, kXoff)));
    const std::string beforeHold = ReadUntilQuiet(pty.master(), 1.0, 20);
    EXPECT_LT(beforeHold.size(), 64u * 1024);

    // Software flow control while sending: we obey XOFF/XON from the device.
    ExpectRawLine(pty.slave(), {B38400, false, true, false});

    program->Signal(SIGINT);
    ProcessResult r = Finish(*program);
    const std::string aborted = Wine().Console(kAborted);
    EXPECT_EQ(Tail(r.output, aborted.size()), aborted);
    EXPECT_EQ(DtrLog(), kDtrOpenThenClosed);

    ASSERT_TRUE(WriteAll(pty.master(), std::string(1, kXon)));
    EXPECT_EQ(ReadUntilQuiet(pty.master(), 1.0, 10), "");

    Write("small.bin", "again");
    auto second = Start({"small.bin", "-MS", "-N", port});
    EXPECT_EQ(ReadExactly(pty.master(), 5, kRunTimeout), "again");
    ProcessResult again = Finish(*second);
}

// --- the port list and why a port did not open ------------------------------

// Wine's Ports class is empty, so the DOS device names are what is listed:
// a new prefix has its own com1, and each link a case makes shows at once.
TEST_F(WineRun, ListPortsShowsTheComLinksOfThePrefix) {
    Pty pty;
    const std::string option = Wine().PortOption(pty.path());
    ProcessResult r = Run({"--list-ports"}, 0);
    EXPECT_EQ(r.output.find(kBanner), std::string::npos);
    EXPECT_TRUE(r.output.rfind(option + "  ", 0) == 0 || r.output.find("\r\n" + option + "  ") != std::string::npos)
        << option << "\n" << r.output;
    EXPECT_EQ(DtrLog(), "");  // listing opened no port
}

// On Windows the default port -P1 is COM1, and --help says so.
TEST_F(WineRun, HelpNamesComOneAsTheDefaultPort) {
    ProcessResult r = Run({"--help"}, 0);
    EXPECT_EQ(r.output, Wine().Console(HelpFor("COM1")));
}

TEST_F(WineRun, AMissingPortIsNamedWithThePortsThatExist) {
    Write("f.bin", "data");
    ProcessResult r = Run({"f.bin", "-P256", "--exit-status"}, 3);
    EXPECT_EQ(r.output, Wine().Console(Banner() + kOpenFailed));
    const std::string tried = Format(kCannotOpenBecause, "COM0", "");
    EXPECT_EQ(r.errors.rfind(tried.substr(0, tried.size() - 1), 0), 0u) << r.errors;
    const std::string listed = Format(kPortsThatExist, " -P1");
    EXPECT_NE(r.errors.find(listed.substr(0, listed.size() - 1)), std::string::npos) << r.errors;
}

// Wine takes the user's UI language from the locale's variables: the reason
// speaks it (CP932 bytes when the error stream is no console), standard
// output stays the same.
TEST_F(WineRun, AMissingPortIsExplainedInTheUiLanguage) {
    std::string output;
    Write("f.bin", "data");
    for (Language language : {Language::kEnglish, Language::kJapanese}) {
        const bool japanese = language == Language::kJapanese;
        ProcessResult r = Run({"f.bin", "-P256"}, 1, {japanese ? "LC_ALL=ja_JP.UTF-8" : "LC_ALL=en_US.UTF-8"});
        const std::string tried = Format(Localized(kCannotOpenBecause, language), "COM0", "");
        EXPECT_EQ(r.errors.rfind(tried.substr(0, tried.size() - 1), 0), 0u) << japanese << "\n" << r.errors;
        if (japanese) {
            EXPECT_EQ(r.output, output);
        }
        output = r.output;
    }
}

// --- files that are not sent --------------------------------------------------

struct RefusedSource {
    const char* name;
    std::string path;     // as the program is given it, in the case's folder
    const char* message;  // %s is the path
};

CASE_TABLE_ON(WineRefusedSource, RefusedSource, WineTable<RefusedSource>);

// Refused before the port is even opened: a file of 2 GiB and more has its
// true length (the runtime's struct stat holds 31 bits), a directory or a
// device none that can be trusted.
TEST_P(WineRefusedSource, NothingGoesOnTheLine) {
    const RefusedSource& c = GetParam();
    std::filesystem::create_directory(Path("folder"));
    Write("big.bin", "");
    std::filesystem::resize_file(Path("big.bin"), 0x80000010);  // sparse
    Pty pty;
    ProcessResult r = Run({c.path, Wine().PortOption(pty.path())}, 1);
    EXPECT_EQ(ReadUntilQuiet(pty.master(), 0.3), "");
    EXPECT_EQ(r.output, Wine().Console(Banner() + Format(c.message, c.path.c_str()) + kAborted));
    EXPECT_EQ(DtrLog(), "");
}

INSTANTIATE_TEST_SUITE_P(
    Wine, WineRefusedSource,
    ::testing::Values(RefusedSource{"Over2GiB", "big.bin", kTooLarge},
                      RefusedSource{"Directory", "folder", kNotRegularFile},
                      RefusedSource{"Nul", "NUL", kNotRegularFile}),
    CaseName());

}  // namespace
