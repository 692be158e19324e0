// Diagnostics as a process: each reason a port or a file did not open is
// told on the error stream while standard output stays byte for byte what
// it always was; --exit-status turns the reason into the status; --help,
// --version and --list-ports print no banner and touch no port.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>

#include "case_table.h"
#include "line_check.h"
#include "port_list.h"
#include "program_support.h"

namespace {

std::vector<std::string> With(std::vector<std::string> args, const std::string& more) {
    args.push_back(more);
    return args;
}

// The missing-port diagnostic: the reason, then the ports this machine has.
std::string Missing(const std::string& path) {
    std::string options;
    for (const SerialPort& port : ListSerialPorts()) options += " " + port.option;
    return Format(kCannotOpenBecause, path.c_str(), std::strerror(ENOENT)) +
           (options.empty() ? std::string(kNoPortsFound) : Format(kPortsThatExist, options.c_str()));
}

// One way for the port not to open: the test sets it up, then names the
// arguments, the program that runs them (a wrapper that drops privileges)
// and every line the error stream must carry.
struct PortSetup {
    std::vector<std::string> args;
    std::vector<std::string> wrapper;
    std::string errors;
};

struct PortCase {
    const char* name;
    std::function<PortSetup(Pty&, ScratchDir&, int* heldFd)> setUp;
};

CASE_TABLE(PortFailureTest, PortCase);

TEST_P(PortFailureTest, ReasonOnTheErrorStreamAndStandardOutputAsAlways) {
    Pty pty;
    ScratchDir dir;
    int held = -1;
    PortSetup setup = GetParam().setUp(pty, dir, &held);
    if (setup.args.empty()) GTEST_SKIP() << setup.errors;
    // The file to send is checked before the port: it has to be one that can
    // be sent, also by the user a wrapper runs the program as.
    setup.args[0] = dir.File(setup.args[0], "x");
    ASSERT_EQ(chmod(dir.Path("").c_str(), 0755), 0);
    for (bool exitStatus : {false, true}) {
        const ProcessResult r =
            RunProgram(exitStatus ? With(setup.args, "--exit-status") : setup.args, {}, setup.wrapper);
        EXPECT_EQ(r.exitCode, exitStatus ? 3 : 1);
        EXPECT_EQ(r.output, Banner() + kOpenFailed);
        EXPECT_EQ(r.errors, setup.errors);
    }
    if (held >= 0) close(held);
}

const std::string kTtySMinus1 = "/dev/ttyS-1";

INSTANTIATE_TEST_SUITE_P(
    Reasons, PortFailureTest,
    ::testing::Values(
        PortCase{"MissingPath",
                 [](Pty&, ScratchDir& dir, int*) {
                     const std::string path = dir.Path("ttyUSB9");
                     return PortSetup{{"f.bin", "-P" + path}, {}, Missing(path)};
                 }},
        PortCase{"HeldWithFlockByAnotherProcess",
                 [](Pty& pty, ScratchDir&, int* held) {
                     *held = open(pty.path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
                     EXPECT_EQ(flock(*held, LOCK_EX | LOCK_NB), 0);
                     return PortSetup{{"f.bin", "-P" + pty.path()}, {},
                                      Format(kPortBusyBy, pty.path().c_str(), static_cast<long>(getpid()))};
                 }},
        PortCase{"PermissionDenied",
                 [](Pty& pty, ScratchDir&, int*) {
                     const char* path = pty.path().c_str();
                     const std::string denied = Format(kCannotOpenBecause, path, std::strerror(EACCES));
                     if (geteuid() != 0) {  // our own terminal, with no permission for anyone
                         EXPECT_EQ(chmod(path, 0), 0);
                         return PortSetup{{"f.bin", "-P" + pty.path()}, {}, denied};
                     }
                     // As root: the device as distributions ship it, opened by a user outside its group.
                     const group* dialout = getgrnam("dialout");
                     if (!dialout || access("/usr/bin/setpriv", X_OK) != 0)
                         return PortSetup{{}, {}, "needs the dialout group and setpriv to drop privileges"};
                     EXPECT_EQ(chown(path, 0, dialout->gr_gid), 0);
                     EXPECT_EQ(chmod(path, 0660), 0);
                     return PortSetup{{"f.bin", "-P" + pty.path()},
                                      {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"},
                                      denied + Format(kPortGroup, path, "dialout", "sudo usermod -aG dialout $USER")};
                 }},
        PortCase{"NotATerminal",
                 [](Pty&, ScratchDir&, int*) {
                     return PortSetup{{"f.bin", "-P/dev/null"}, {},
                                      Format(kPortNotTerminal, "/dev/null", std::strerror(ENOTTY))};
                 }},
        // Not a port is the reason, even where another program holds a lock
        // on the file: two runs given one wrong name must both be told so.
        PortCase{"NotATerminalLockedByAnother",
                 [](Pty&, ScratchDir& dir, int* held) {
                     const std::string path = dir.File("not-a-port", "");
                     *held = open(path.c_str(), O_RDWR | O_CLOEXEC);
                     EXPECT_EQ(flock(*held, LOCK_EX | LOCK_NB), 0);
                     return PortSetup{{"f.bin", "-P" + path}, {},
                                      Format(kPortNotTerminal, path.c_str(), std::strerror(ENOTTY))};
                 }},
        // Habits from other tools: the fixed reading still tries /dev/ttyS-1.
        PortCase{"WindowsName",
                 [](Pty&, ScratchDir&, int*) {
                     return PortSetup{{"f.bin", "-PCOM3"}, {},
                                      Missing(kTtySMinus1) + Format(kPortHint, "COM3", "-P3")};
                 }},
        PortCase{"NameWithoutDev",
                 [](Pty&, ScratchDir&, int*) {
                     return PortSetup{{"f.bin", "-Pttyusb0"}, {},
                                      Missing(kTtySMinus1) + Format(kPortHint, "ttyusb0", "-P/dev/ttyUSB0")};
                 }},
        PortCase{"BlankAfterP",
                 [](Pty&, ScratchDir&, int*) {
                     return PortSetup{{"f.bin", "-P", "/dev/ttyUSB0"}, {},
                                      Format(kUnknownOption, "/dev/ttyUSB0") + Missing(kTtySMinus1) +
                                          Format(kPortHintEmpty, "-P/dev/ttyUSB0")};
                 }}),
    CaseName());

// ---- the user's language ----

// The locale's variables as the user set them ("" unset); none of the named
// locales but C.UTF-8 is installed here, so most rows also show the choice
// made from the name alone.
struct LanguageCase {
    const char* name;
    std::vector<std::string> env;  // LANGUAGE, LC_ALL, LC_MESSAGES, LC_CTYPE, LANG, in that order
    bool japanese;
    bool utf8;
};

CASE_TABLE(LanguageTest, LanguageCase);

// The reason on the error stream is in the user's language and encoding;
// standard output is the fixed text, in the locale's encoding only.
TEST_P(LanguageTest, APortFailureIsExplainedInTheUsersLanguage) {
    const LanguageCase& c = GetParam();
    const char* names[] = {"LANGUAGE=", "LC_ALL=", "LC_MESSAGES=", "LC_CTYPE=", "LANG="};
    ProcessOptions options;
    for (size_t i = 0; i < c.env.size(); ++i) options.env.push_back(names[i] + c.env[i]);
    ScratchDir dir;
    const ProcessResult r = RunProcess(CurrentTarget().Command({dir.File("f.bin", "x"), "-P/dev/null"}), options);
    EXPECT_EQ(r.exitCode, 1);
    const std::string reason = std::strerror(ENOTTY);
    std::string errors;
    if (!c.japanese)
        errors = "/dev/null is not a terminal (serial port): " + reason + "\n";
    else if (c.utf8)
        errors = u8"/dev/null は端末（シリアルポート）ではありません: " + reason + "\n";
    else
        errors = Format(Localized(kPortNotTerminal, Language::kJapanese), "/dev/null", reason.c_str());
    EXPECT_EQ(r.errors, errors);
    const std::string banner = c.utf8 ? u8"File Transfer Utility ｢VELTA｣ Version 1.05/Win32\n" + std::string(kBanner2)
                                      : Banner();
    EXPECT_EQ(r.output, banner + kOpenFailed);
}

INSTANTIATE_TEST_SUITE_P(
    Locales, LanguageTest,
    ::testing::Values(LanguageCase{"EnglishNotInstalled", {"", "", "", "", "en_US.UTF-8"}, false, true},
                      LanguageCase{"JapaneseNotInstalled", {"", "", "", "", "ja_JP.UTF-8"}, true, true},
                      LanguageCase{"CLocale", {"", "C", "", "", "ja_JP.UTF-8"}, false, false},
                      LanguageCase{"CUtf8Installed", {"", "C.UTF-8", "", "", ""}, false, true},
                      LanguageCase{"MessagesJapaneseCharactersUtf8", {"", "", "ja_JP.UTF-8", "C.UTF-8", ""}, true, true},
                      LanguageCase{"LanguageListBeforeTheLocale", {"fr:ja", "", "", "", "en_US.UTF-8"}, true, true},
                      LanguageCase{"ShiftJisTerminal", {"", "", "", "", "ja_JP.SJIS"}, true, false},
                      LanguageCase{"NothingSet", {"", "", "", "", ""}, false, false}),
    CaseName());

// ---- files ----

TEST(FileFailure, ReceivingIntoAMissingFolder) {
    Pty pty;
    ScratchDir dir;
    const std::string name = dir.Path("missing/in.bin");
    const ProcessResult r = RunProgram({name, "-MR", "-P" + pty.path(), "--exit-status"});
    EXPECT_EQ(r.exitCode, 4);
    EXPECT_EQ(r.output, Banner() + Format(kCannotOpen, name.c_str()));
    EXPECT_EQ(r.errors, Format(kCannotOpenBecause, name.c_str(), std::strerror(ENOENT)));
}

TEST(FileFailure, ReceivingOntoAFolder) {
    Pty pty;
    ScratchDir dir;
    const std::string name = dir.Path("folder");
    ASSERT_EQ(mkdir(name.c_str(), 0755), 0);
    const ProcessResult r = RunProgram({name, "-MR", "-P" + pty.path()});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.output, Banner() + Format(kCannotOpen, name.c_str()));
    EXPECT_EQ(r.errors, Format(kCannotOpenBecause, name.c_str(), std::strerror(EISDIR)));
}

// /dev/full takes the open and refuses every write: the disk-full case.
TEST(FileFailure, AFullDiskIsToldWithTheSystemsReason) {
    Pty pty;
    auto process = StartOnTerminal(pty, {"/dev/full", "-MR", "--exit-status"});
    ASSERT_TRUE(process->WaitForOutput(Format(kReceivePrompt, 9600)));
    std::string data = Bytes({0xFF, 0xFE, 0x4D, 0x10, 0x40, 0, 0, 0, 0, 0x20, 0, 0, 0, 0, 0, 0});  // 16400 bytes
    data += Pattern(16384);
    ASSERT_TRUE(WriteAll(pty.master(), data));
    const ProcessResult r = process->Wait(60);
    EXPECT_EQ(r.exitCode, 4);
    EXPECT_NE(r.output.find(Format(kCannotWrite, "/dev/full")), std::string::npos) << r.output;
    // The byte that filled the first block is the last one taken.
    EXPECT_EQ(r.errors, Format(kCannotWriteBecause, "/dev/full", std::strerror(ENOSPC)) +
                            LineTallyText(data.substr(0, 16384), true));
}

// ---- what arrives ----

TEST(Receive, DataWithoutAHeaderIsWarnedAboutAndStillStored) {
    Pty pty;
    ScratchDir dir;
    const std::string name = dir.Path("in.bin");
    auto process = StartOnTerminal(pty, {name, "-MR"});
    ASSERT_TRUE(process->WaitForOutput(Format(kReceivePrompt, 9600)));
    // Sixteen bytes of text taken as the header: 0x206E69 - 16 data bytes to come.
    const std::string text = "plain text, no h";
    ASSERT_TRUE(WriteAll(pty.master(), text));
    ASSERT_TRUE(process->WaitForOutput(kReceiveFrame));
    process->Signal(SIGINT);
    const ProcessResult r = process->Wait(30);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.errors, Format(kNoHeaderMagic, 'p', 'l', 'a') + LineTallyText(text, false));
    EXPECT_EQ(ReadFile(name), text);
}

// ---- help, version, port list ----

struct InfoCase {
    const char* name;
    std::vector<std::string> args;
    std::function<std::string()> output;
};

std::string PortListing() {
    std::string out;
    for (const SerialPort& port : ListSerialPorts()) {
        out += port.option + "  " + port.details;
        if (port.holder) out += Format(kPortListInUseBy, port.holder);
        else if (port.inUse) out += kPortListInUse;
        out += "\n";
    }
    return out;
}

CASE_TABLE(InfoTest, InfoCase);

// Wherever the option stands, with a file and -P or without: no banner, no
// port touched (the terminal keeps its 2400 bit/s), status 0.
TEST_P(InfoTest, PrintsWithoutBannerAndTouchesNoPort) {
    Pty pty;
    SetLine(pty.slave(), B2400);
    const ProcessResult r = RunProgram(With(GetParam().args, "-P" + pty.path()));
    const std::string expected = GetParam().output();
    EXPECT_EQ(r.exitCode, expected.empty() ? 1 : 0);
    EXPECT_EQ(r.output, expected);
    const termios after = SettingsOf(pty.slave());
    EXPECT_EQ(cfgetospeed(&after), static_cast<speed_t>(B2400));
}

INSTANTIATE_TEST_SUITE_P(
    LongOptions, InfoTest,
    ::testing::Values(
        InfoCase{"Help", {"--help"},
                 Help},
        InfoCase{"VersionAfterAFile", {"game.bin", "-MR", "--version"},
                 [] { return Format(kVersion, VELTA_VERSION); }},
        InfoCase{"ListPorts", {"--list-ports"}, PortListing}),
    CaseName());

TEST(Info, HelpListsTheExitStatuses) {
    const ProcessResult r = RunProgram({"--help"});
    for (const char* status : {" 0 ", " 2 ", " 3 ", " 4 ", " 5 ", " 6 ", " 7 ", " 255"})
        EXPECT_NE(r.output.find(status), std::string::npos) << status;
}

// Today's command lines keep their statuses without --exit-status.
TEST(ExitStatus, ACommandLineErrorStays255WithIt) {
    const ProcessResult r = RunProgram({"f.bin", "-B9601", "--exit-status"});
    EXPECT_EQ(r.exitCode, 255);
    EXPECT_EQ(r.output, Banner() + Usage());
    EXPECT_EQ(r.errors, Format(kBadRate, "-B9601"));
}

}  // namespace
