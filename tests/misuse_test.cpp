// The program as a process in the hands it meets outside the lab: started
// with signals ignored or descriptors closed, interrupted by any signal,
// given a cooked line, a locked port, a full error stream, options in the
// wrong place or a file that is not there, and a device that goes away. Each
// row says how the program is started, what the device does, and what must
// be true of standard output, the error stream, the status, the file and
// the line.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <optional>
#include <thread>
#include <utility>

#include "case_table.h"
#include "line_check.h"
#include "program_support.h"

namespace {

const std::string kData = Pattern(300, 22);
const std::string kSent = HeaderBytes(316, 0x2000) + kData;

// The port and the scratch folder of one run. In a row's texts {file} is
// the file of the transfer, {port} the port's path, {dir} the folder.
struct Scene {
    ScratchDir dir;
    Pty pty;
    std::string lockFile;  // a UUCP lock file the row made, removed after
    termios before{};      // the port's settings before the run
    int unread = -1;       // the reading end of a pipe nobody reads

    ~Scene() {
        if (!lockFile.empty()) unlink(lockFile.c_str());
        if (unread >= 0) close(unread);
    }
    std::string file() const { return dir.Path("f.bin"); }
    std::string Fill(std::string text) const {
        for (const auto& [key, value] : {std::pair<std::string, std::string>{"{file}", file()},
                                         {"{port}", pty.path()}, {"{dir}", dir.Path("")}})
            for (size_t at; (at = text.find(key)) != std::string::npos;) text.replace(at, key.size(), value);
        return text;
    }
};

// What the device (and the user at the console) does, step by step: once
// the program has printed `waitFor`, send a signal, send bytes, or hang up.
struct Step {
    Step(const char* waitFor, int signal = 0, std::string sends = {}, bool hangUp = false)
        : waitFor(waitFor), signal(signal), sends(std::move(sends)), hangUp(hangUp) {}
    const char* waitFor;
    int signal;
    std::string sends;
    bool hangUp;  // the device goes away, as an unplugged adapter does
};
using Device = std::vector<Step>;  // empty: the program runs on its own

struct RunCase {
    const char* name;
    std::vector<std::string> args;
    std::string shell;  // run before the program is exec'd by bash: traps, redirections
    std::function<void(Scene&)> setUp;
    std::optional<std::string> fileBefore;  // content of {file} before the run; nullopt: no such file
    Device device;
    int status;
    std::optional<std::string> output;  // standard output, whole; nullopt: not looked at
    std::vector<std::string> errors;   // each on the error stream
    std::optional<std::string> fileAfter;  // nullopt: not looked at
    std::string line;                  // every byte the device got
    bool portRestored = false;         // settings as before the run, not exclusive
};

// A line as a terminal program leaves it when nobody makes it raw.
void CookLine(Scene& s) {
    termios t;
    ASSERT_EQ(tcgetattr(s.pty.slave(), &t), 0);
    t.c_iflag |= ICRNL | IXON;
    t.c_oflag |= OPOST | ONLCR;
    t.c_lflag |= ICANON | ECHO | ISIG | IEXTEN;
    ASSERT_EQ(tcsetattr(s.pty.slave(), TCSANOW, &t), 0);
}

// A login line's settings, all unlike what the program sets, noted.
void NoteSettings(Scene& s) {
    MakeCooked(s.pty.slave());
    s.before = SettingsOf(s.pty.slave());
}

// /dev/pts/7 is locked as LCK..pts_7 (minicom) or LCK..7 (by base name).
std::function<void(Scene&)> LockPort(bool flatName, bool binary, bool live) {
    return [=](Scene& s) {
        const std::string path = s.pty.path();
        const std::string name = flatName ? "pts_" + path.substr(path.rfind('/') + 1) : path.substr(path.rfind('/') + 1);
        s.lockFile = "/var/lock/LCK.." + name;
        pid_t pid = getpid();
        if (!live) {  // a process that has been and gone
            pid = fork();
            if (pid == 0) _exit(0);
            waitpid(pid, nullptr, 0);
        }
        const int32_t binaryPid = pid;
        const std::string text = binary ? std::string(reinterpret_cast<const char*>(&binaryPid), sizeof binaryPid)
                                        : Format("%10d\n", static_cast<int>(pid));
        const int fd = open(s.lockFile.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd < 0) {
            s.lockFile.clear();
            GTEST_SKIP() << "no lock folder to write into: " << std::strerror(errno);
        }
        ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
        close(fd);
    };
}

// The error stream is a FIFO that the test holds open and never reads,
// filled to the brim before the program starts.
void HoldFullErrorStream(Scene& s) {
    const std::string fifo = s.dir.Path("stderr");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    s.unread = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(s.unread, 0);
    ASSERT_EQ(fcntl(s.unread, F_SETPIPE_SZ, 65536), 65536);
}
const std::string kFullErrorStream = "exec 2>{dir}stderr; head -c 65536 /dev/zero >&2;";

CASE_TABLE(MisuseTest, RunCase);

TEST_P(MisuseTest, EndsAsTheRowSays) {
    const RunCase& c = GetParam();
    Scene scene;
    if (c.setUp) c.setUp(scene);
    if (::testing::Test::IsSkipped() || ::testing::Test::HasFatalFailure()) return;
    if (c.fileBefore) scene.dir.File("f.bin", *c.fileBefore);
    std::vector<std::string> args;
    for (const std::string& a : c.args) args.push_back(scene.Fill(a));
    std::vector<std::string> shell;
    if (!c.shell.empty()) shell = {"bash", "-c", scene.Fill(c.shell) + " exec \"$@\"", "bash"};

    std::atomic<bool> done{false};
    std::string line;
    std::thread reader([&] {
        while (!done) line += ReadUntilQuiet(scene.pty.master(), 0.05, 0.2);
    });
    auto stopReading = [&] {
        if (done.exchange(true)) return;
        reader.join();
        line += ReadUntilQuiet(scene.pty.master(), 0.2, 2);
    };
    Process process(Joined(shell, CurrentTarget().Command(args)), TargetOptions(!c.device.empty()));
    bool hungUp = false;
    for (const Step& step : c.device) {
        EXPECT_TRUE(process.WaitForOutput(step.waitFor, 30)) << step.waitFor;
        usleep(200000);
        if (step.signal) process.Signal(step.signal);
        if (!step.sends.empty()) {
            if (step.signal) usleep(200000);
            EXPECT_TRUE(WriteAll(scene.pty.master(), step.sends));
        }
        if (step.hangUp) {
            usleep(300000);
            stopReading();
            scene.pty.CloseMaster();
            hungUp = true;
        }
    }
    const ProcessResult r = process.Wait(60);
    stopReading();

    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.exitCode, c.status) << r.errors;
    if (c.output) {
        EXPECT_EQ(r.output, CurrentTarget().Console(scene.Fill(*c.output)));
    }
    for (const std::string& text : c.errors) EXPECT_TRUE(Contains(r.errors, scene.Fill(text))) << r.errors;
    if (c.errors.empty()) {
        EXPECT_EQ(r.errors, "");
    }
    if (c.fileAfter) {
        EXPECT_EQ(ReadFile(scene.file()), *c.fileAfter);
    }
    if (!hungUp) {
        EXPECT_EQ(line, c.line);
    }
    if (c.portRestored) {
        int exclusive = 1;
        EXPECT_EQ(ioctl(scene.pty.slave(), TIOCGEXCL, &exclusive), 0);
        EXPECT_EQ(exclusive, 0);
        ExpectSettingsKept(scene.before, scene.pty.slave());
    }
}

const std::string kPrompt = Format(kReceivePrompt, 9600);
const std::string kReceived = HeaderBytes(16 + 20, 0x1234) + Pattern(20, 3);
// Comes in two parts, the second once the first has been taken.
const std::string kLongerReceived = HeaderBytes(16 + 4000, 0x1234) + Pattern(4000, 4);

std::string ReceivedOutput(unsigned long size = 20) {
    return Banner() + kPrompt + "\r" + Format(kReceiveHeaderLine, 0x1234, 0, size) + kReceiveFrame +
           std::string(10, 'o') + kReceiveDone;
}

RunCase SignalCase(const char* name, int sig) {
    return RunCase{name, {"{file}", "-MR", "-P{port}"}, "", NoteSettings, std::nullopt, {{"bps", sig}}, 1,
                   Banner() + kPrompt + kAborted, {}, "", "", true};
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MisuseTest,
    ::testing::Values(
        // A line left cooked by a wrapper would echo, map CR/LF and eat ^C:
        // refused, and nothing goes on it.
        RunCase{"StdioOnACookedLine", {"{file}", "--stdio"}, "exec <{port} >{port};", CookLine, "\n\rA\nB", {}, 1,
                "", {Banner() + Format(kStdioCooked, "ICANON ECHO ISIG IEXTEN OPOST ICRNL IXON") + kOpenFailed},
                std::nullopt, ""},
        // Ctrl+C at the prompt leaves an existing file as it was; data that
        // comes replaces it whole.
        RunCase{"CtrlCAtThePromptKeepsTheFile", {"{file}", "-MR", "-P{port}"}, "", nullptr, "precious", {{"bps", SIGINT}},
                1, Banner() + kPrompt + kAborted, {}, "precious", ""},
        RunCase{"ArrivingDataReplacesTheFile", {"{file}", "-MR", "-P{port}"}, "", nullptr,
                "an older and much longer file than the one that comes", {{"bps", 0, kReceived}}, 1, ReceivedOutput(),
                {LineTallyText(kReceived, true)}, kReceived, ""},
        // The optional progress line gives way to a full error stream, and
        // Ctrl+C still ends the run.
        RunCase{"FullErrorStreamHoldsNothingUp", {"{file}", "-MR", "-P{port}", "--progress"}, kFullErrorStream,
                HoldFullErrorStream, std::nullopt, {{"bps", 0, kReceived}}, 1, ReceivedOutput(), {}, kReceived, ""},
        RunCase{"FullErrorStreamAndCtrlC", {"{file}", "-MR", "-P{port}", "--progress"}, kFullErrorStream,
                HoldFullErrorStream, std::nullopt,
                {{"bps", 0, HeaderBytes(16 + 20000, 0x2000) + Pattern(2000)}, {kReceiveFrame, SIGINT}}, 1,
                std::nullopt, {}, std::nullopt, ""},
        // nohup, and a shell's background job: what the caller ignored stays ignored.
        RunCase{"IgnoredHangUpStaysIgnored", {"{file}", "-MR", "-P{port}"}, "trap '' HUP;", nullptr, std::nullopt,
                {{"bps", SIGHUP, kReceived}}, 1, ReceivedOutput(), {LineTallyText(kReceived, true)}, kReceived, ""},
        RunCase{"IgnoredInterruptStaysIgnored", {"{file}", "-MR", "-P{port}"}, "trap '' INT;", nullptr, std::nullopt,
                {{"bps", SIGINT, kReceived}}, 1, ReceivedOutput(), {LineTallyText(kReceived, true)}, kReceived, ""},
        // Standard input and error closed: the run is not its own abort.
        RunCase{"ClosedStandardDescriptors", {"{file}", "-MR", "-P{port}", "--progress"}, "exec 0<&- 2>&-;", nullptr,
                std::nullopt, {{"bps", 0, kLongerReceived.substr(0, 2016)}, {kReceiveFrame, 0, kLongerReceived.substr(2016)}},
                1, ReceivedOutput(4000), {}, kLongerReceived, ""},
        // Signals whose default would end the process abort in order.
        SignalCase("SIGUSR1", SIGUSR1), SignalCase("SIGUSR2", SIGUSR2), SignalCase("SIGALRM", SIGALRM),
        SignalCase("SIGVTALRM", SIGVTALRM), SignalCase("SIGPROF", SIGPROF), SignalCase("SIGXCPU", SIGXCPU),
        SignalCase("SIGXFSZ", SIGXFSZ), SignalCase("SIGPWR", SIGPWR),
        // A live UUCP lock file: the port is another program's.
        RunCase{"LockFileByName", {"{file}", "-MR", "-P{port}"}, "", LockPort(true, false, true), std::nullopt, {}, 1,
                Banner() + kOpenFailed, {Format(kPortBusyBy, "{port}", static_cast<long>(getpid()))}, std::nullopt, ""},
        RunCase{"LockFileBinaryPid", {"{file}", "-MR", "-P{port}"}, "", LockPort(false, true, true), std::nullopt, {}, 1,
                Banner() + kOpenFailed, {Format(kPortBusyBy, "{port}", static_cast<long>(getpid()))}, std::nullopt, ""},
        RunCase{"StaleLockFileIsIgnored", {"{file}", "-P{port}"}, "", LockPort(true, false, false), kData, {},
                1, std::nullopt, {LineTallyText(kSent, true)}, std::nullopt, kSent},
        // The file to send is looked at before the port.
        RunCase{"MissingFileBeforeMissingPort", {"{dir}gmae.bin", "-P{dir}no-port"}, "", nullptr, std::nullopt, {}, 1,
                Banner() + Format(kCannotOpen, "{dir}gmae.bin"), {Format(kCannotOpenBecause, "{dir}gmae.bin", std::strerror(ENOENT))},
                std::nullopt, ""},
        RunCase{"DirectoryTouchesNoPort", {"{dir}", "-P{dir}no-port"}, "", nullptr, std::nullopt, {}, 1,
                Banner() + Format(kNotRegularFile, "{dir}") + kAborted, {}, std::nullopt, ""},
        // The newcomer's command lines: standard output as always, the
        // error stream says what went wrong.
        RunCase{"OptionBeforeTheFileName", {"-P{port}", "{file}"}, "", nullptr, kData, {}, 1,
                Banner() + Format(kCannotOpen, "-P{port}"), {Format(kFileNameFirst, "-P{port}")}, std::nullopt, ""},
        RunCase{"UnknownLetterAndAStrayFileName", {"{file}", "-R", "stage2.bin", "-P{port}"}, "", nullptr, "abc", {},
                1, std::nullopt, {Format(kUnknownOption, "-R"), Format(kNotAnOption, "stage2.bin")}, std::nullopt, "abc\x1A"},
        RunCase{"RateNotOneOfTheEight", {"{file}", "-B115200"}, "", nullptr, std::nullopt, {}, 255, Banner() + Usage(),
                {Format(kBadRate, "-B115200")}, std::nullopt, ""},
        RunCase{"ModeNeitherSendNorReceive", {"{file}", "-MX"}, "", nullptr, std::nullopt, {}, 255, Banner() + Usage(),
                {Format(kBadMode, "-MX")}, std::nullopt, ""},
        // A device that goes away says so beside the abort line.
        RunCase{"HangUpSaysWhy", {"{file}", "-MR", "-P{port}"}, "", nullptr, std::nullopt,
                {{"bps", 0, HeaderBytes(1016, 0x2000) + "abc"}, {kReceiveFrame, 0, "", true}}, 1,
                Banner() + kPrompt + "\r" + Format(kReceiveHeaderLine, 0x2000, 0, 1000ul) + kReceiveFrame + kAborted,
                {kLineHungUp}, std::nullopt, ""},
        // A file system that tells of a full quota only at fsync and close:
        // the reception is not called complete.
        RunCase{"QuotaFullAtTheEnd", {"{file}", "-MR", "-P{port}"},
                "export LD_PRELOAD=" QUOTA_SHIM " VELTA_QUOTA_FILE={file};", nullptr, std::nullopt,
                {{"bps", 0, kReceived}}, 1,
                Banner() + kPrompt + "\r" + Format(kReceiveHeaderLine, 0x1234, 0, 20ul) + kReceiveFrame +
                    std::string(10, 'o') + Format(kCannotWrite, "{file}") + kAborted,
                {Format(kCannotWriteBecause, "{file}", std::strerror(EDQUOT))}, std::nullopt, ""},
        // --progress counts what moves: with -N, the file's bytes.
        RunCase{"ProgressWithDashNEndsAtAHundred", {"{file}", "-N", "--progress", "-P{port}"}, "", nullptr,
                kData, {}, 1, std::nullopt, {"100% 300 / 300 "}, std::nullopt, kData}),
    CaseName());

}  // namespace
