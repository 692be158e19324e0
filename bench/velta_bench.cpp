// velta-bench: what velta costs the machine while the line paces it, how
// close to the line rate it stays, what a byte costs it when nothing paces
// it (beside cat to a raw terminal and sz/rz), and how soon it lets go after
// SIGINT; figures 1 and 4 also for VELTA.exe under Wine when one is given.
// The device is velta-sim, except in the unpaced runs, where this program
// reads or writes the other end of a pseudo-terminal as fast as it can.
// A pseudo-terminal has no output queue (TIOCOUTQ always reads 0), so the
// sends are also measured with uart_shim.so preloaded, which gives the
// terminal the output queue of a UART or of a USB adapter (see there); the
// receives also with the simulator handing its bytes over 8 and 1 at a time.
// Prints one table. These are measurements: nothing passes or fails on time.
//
//   velta-bench --velta PATH --sim PATH --uart-shim PATH --work DIR
//               [--parts puar] [--repeats N]
//               [--wine-exe PATH --wine-shim PATH --wine-server-pid PID]
//
// --parts picks what to measure: p paced (figures 1 and 2), u unpaced (3),
// a abort latency (4), r a send on modelled real ports (5); all by default.
//
// With --wine-exe, WINEPREFIX must name a prepared prefix whose server runs
// as --wine-server-pid (its processor time is counted beside the program's).
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench_util.h"

using namespace bench;

namespace {

constexpr size_t kHeaderSize = 16;
constexpr size_t kPacedSize = 16 * 1024;
constexpr size_t kSlowSize = 4 * 1024;
constexpr size_t kUnpacedSize = 1024 * 1024;
constexpr int kAbortRuns = 20;
constexpr int kWinePort = 42;

struct Config {
    std::string velta, sim, work;
    std::string uartShim;
    std::string wineExe, wineShim, winePrefix;
    pid_t wineServer = 0;
    int repeats = 3;            // native paced runs; the median is shown
    std::string parts = "puar";  // paced (1, 2), unpaced (3), abort (4), real ports modelled (5)
    bool Wants(char part) const { return parts.find(part) != std::string::npos; }
};

std::string Path(const Config& c, const std::string& name) { return c.work + "/" + name; }

// What runs as "velta": the native program, or VELTA.exe under Wine on a
// COM port that is a link to the pseudo-terminal of the run.
struct Target {
    std::string name;
    std::vector<std::string> launcher;
    std::vector<std::string> env;
    std::vector<std::string> preload;  // LD_PRELOAD, in this order
    std::string winePrefix;
    std::string shimLog;
    std::string portLog;  // the port shim's notes, when one is preloaded
    pid_t server = 0;

    bool IsWine() const { return !winePrefix.empty(); }

    std::vector<std::string> Command(const std::vector<std::string>& args) const {
        std::vector<std::string> argv = launcher;
        argv.insert(argv.end(), args.begin(), args.end());
        return argv;
    }

    std::string PortOption(const std::string& slave) const {
        if (!IsWine()) return "-P" + slave;
        const std::string link = winePrefix + "/dosdevices/com" + std::to_string(kWinePort);
        const std::string fresh = link + ".new";
        unlink(fresh.c_str());
        if (symlink(slave.c_str(), fresh.c_str()) != 0 || rename(fresh.c_str(), link.c_str()) != 0)
            std::fprintf(stderr, "bench: cannot link %s\n", link.c_str());
        return "-P" + std::to_string(kWinePort);
    }

    double ServerCpu() const { return server ? ProcessCpuSeconds(server) : 0; }
};

// The same target with a UART's output queue on its pseudo-terminal, or
// the queue of a USB adapter (see uart_shim.c); the shim notes in portLog the
// most bytes that were on their way at once.
Target WithUart(const Config& c, Target t) {
    t.preload.push_back(c.uartShim);
    t.portLog = c.work + "/port-" + t.name + ".log";
    t.env.push_back("VELTA_UART_LOG=" + t.portLog);
    return t;
}

Target WithUsbAdapter(const Config& c, Target t) {
    t = WithUart(c, t);
    t.env.push_back("VELTA_UART_MODEL=usb");
    return t;
}

// Opened for a child's standard output; closed with the object.
struct OutputFile {
    explicit OutputFile(const std::string& path)
        : fd(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644)) {}
    ~OutputFile() {
        if (fd >= 0) close(fd);
    }
    int fd;
};

std::string ConsolePath(const Config& c, const Target& t) { return Path(c, "console-" + t.name + ".txt"); }

// The end of what the program printed, for a report of what went wrong.
std::string ConsoleTail(const Config& c, const Target& t) {
    std::vector<uint8_t> text;
    ReadFile(ConsolePath(c, t), &text);
    std::string tail;
    for (size_t i = text.size() > 60 ? text.size() - 60 : 0; i < text.size(); ++i) {
        char escaped[8];
        const bool plain = text[i] >= 0x20 && text[i] < 0x7F;
        std::snprintf(escaped, sizeof escaped, plain ? "%c" : "\\x%02X", text[i]);
        tail += escaped;
    }
    return tail;
}

std::unique_ptr<Child> StartTarget(const Config& c, const Target& t, const std::vector<std::string>& args) {
    OutputFile console(ConsolePath(c, t));
    ChildOptions options;
    options.stdio.out = console.fd;
    options.env = t.env;
    if (!t.preload.empty()) {
        std::string list;
        for (const std::string& library : t.preload) list += (list.empty() ? "" : " ") + library;
        options.env.push_back("LD_PRELOAD=" + list);
    }
    options.cwd = c.work;
    return std::make_unique<Child>(t.Command(args), options);
}

// The device simulator with its report lines; interrupted if still running
// when it goes out of scope.
class Sim {
public:
    Sim(const Config& c, const std::vector<std::string>& args) {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
        std::vector<std::string> argv = {c.sim};
        argv.insert(argv.end(), args.begin(), args.end());
        ChildOptions options;
        options.stdio.out = fds[1];
        options.cwd = c.work;
        child_ = std::make_unique<Child>(argv, options);
        close(fds[1]);
        outFd_ = fds[0];
        out_ = std::make_unique<LineReader>(outFd_);
        out_->WaitFor({"/"}, 10, &path_);
    }
    ~Sim() {
        child_->Signal(SIGINT);
        child_->Wait(10);
        close(outFd_);
    }
    const std::string& PtyPath() const { return path_; }
    // Its last lines so far, for a report of what went wrong.
    std::string Tail() const {
        const std::string& all = out_->All();
        std::string tail = all.substr(all.size() > 300 ? all.size() - 300 : 0);
        std::replace(tail.begin(), tail.end(), '\n', '|');
        return tail;
    }
    bool WaitFor(const std::vector<std::string>& prefixes, double timeout, std::string* line = nullptr,
                 double* when = nullptr) {
        return out_->WaitFor(prefixes, timeout, line, when);
    }

private:
    std::unique_ptr<Child> child_;
    int outFd_ = -1;
    std::unique_ptr<LineReader> out_;
    std::string path_;
};

// ---------------------------------------------------------------------------
// 1 and 2: paced by the simulator

struct Paced {
    bool ok = false;
    std::string why;
    double wall = 0;
    double ideal = 0;
    double cpu = 0;
    double serverCpu = 0;
    double Share() const { return wall > 0 ? cpu / wall : 0; }
    double ShareWithServer() const { return wall > 0 ? (cpu + serverCpu) / wall : 0; }
    // Over repeated runs: the lowest and highest share seen.
    int runs = 1;
    double shareMin = 0, shareMax = 0;
    long largest = -1;  // the most bytes on their way at once (port shim)
};

// The last "largest N" the port shim noted, or -1.
long LargestOnTheWay(const Target& t) {
    std::vector<uint8_t> text;
    if (t.portLog.empty() || !ReadFile(t.portLog, &text)) return -1;
    std::string log(text.begin(), text.end());
    size_t at = log.rfind("largest ");
    return at == std::string::npos ? -1 : std::atol(log.c_str() + at + 8);
}

// Runs one measurement n times; the run with the median share (or, for
// runs without a program of ours, the median wall time), with the spread of
// the shares. A failed run is the result.
Paced Median(int n, const std::function<Paced()>& run) {
    std::vector<Paced> all;
    for (int i = 0; i < std::max(n, 1); ++i) {
        all.push_back(run());
        if (!all.back().ok) return all.back();
    }
    std::sort(all.begin(), all.end(), [](const Paced& a, const Paced& b) {
        return a.cpu > 0 ? a.Share() < b.Share() : a.wall < b.wall;
    });
    Paced m = all[all.size() / 2];
    m.runs = static_cast<int>(all.size());
    m.shareMin = all.front().Share();
    m.shareMax = all.back().Share();
    return m;
}

Paced Failed(Paced r, const std::string& why) {
    r.ok = false;
    r.why = why;
    return r;
}

std::string Flow(bool xonxoff) { return xonxoff ? "-F2" : "-F0"; }

// velta sends; the time runs from its start until the simulator has taken
// the last byte at the line rate (on a pseudo-terminal velta itself may be
// done long before: the kernel takes 20 KiB without pacing).
Paced PacedSend(const Config& c, const Target& t, unsigned rate, size_t size, bool xonxoff) {
    Paced r;
    r.ideal = static_cast<double>(size + kHeaderSize) * 10.0 / rate;
    WriteFile(Path(c, "paced.bin"), PseudoRandomBytes(size, 1));
    std::vector<std::string> args = {"--baud", std::to_string(rate), "--idle", "5"};
    if (xonxoff) args.push_back("--xonxoff");
    Sim sim(c, args);
    if (sim.PtyPath().empty() || !sim.WaitFor({"ready:"}, 10)) return Failed(r, "the simulator did not start");
    if (!t.portLog.empty()) unlink(t.portLog.c_str());
    const double server0 = t.ServerCpu();
    auto velta = StartTarget(c, t, {"paced.bin", "-MS", "-B" + std::to_string(rate), Flow(xonxoff),
                                    t.PortOption(sim.PtyPath())});
    std::string line;
    double done = 0;
    const bool ended = sim.WaitFor({"complete", "incomplete", "overrun", "wrong", "bad"}, r.ideal * 3 + 30, &line, &done);
    if (!velta->Wait(30)) return Failed(r, "velta did not end");
    r.serverCpu = t.ServerCpu() - server0;
    r.cpu = velta->CpuSeconds();
    r.wall = done - velta->StartTime();
    if (!ended || line.rfind("complete: " + std::to_string(size) + " bytes", 0) != 0)
        return Failed(r, "velta ended with " + velta->Status() + "; the simulator said: " + sim.Tail());
    r.largest = LargestOnTheWay(t);
    r.ok = true;
    return r;
}

// velta receives; the time runs from its start to its end.
// burst: the bytes the simulator hands over at a time (0: its default, what
// 10 ms of the line carries).
Paced PacedReceive(const Config& c, const Target& t, unsigned rate, size_t size, bool xonxoff, unsigned burst = 0) {
    Paced r;
    r.ideal = static_cast<double>(size + kHeaderSize) * 10.0 / rate;
    std::vector<uint8_t> data = PseudoRandomBytes(size, 2);
    WriteFile(Path(c, "device.bin"), data);
    std::vector<std::string> args = {"--send", Path(c, "device.bin"), "--baud", std::to_string(rate),
                                     "--wait-open", "--linger", "0.2"};
    if (xonxoff) args.push_back("--xonxoff");
    if (burst) args.insert(args.end(), {"--burst", std::to_string(burst)});
    Sim sim(c, args);
    if (sim.PtyPath().empty() || !sim.WaitFor({"waiting:"}, 10)) return Failed(r, "the simulator did not start");
    unlink(Path(c, "received.bin").c_str());
    const double server0 = t.ServerCpu();
    auto velta = StartTarget(c, t, {"received.bin", "-MR", "-B" + std::to_string(rate), Flow(xonxoff),
                                    t.PortOption(sim.PtyPath())});
    if (!velta->Wait(r.ideal * 3 + 30)) return Failed(r, "velta did not end");
    r.serverCpu = t.ServerCpu() - server0;
    r.cpu = velta->CpuSeconds();
    r.wall = velta->EndTime() - velta->StartTime();
    std::vector<uint8_t> expected = TransferHeader(static_cast<uint32_t>(size + kHeaderSize), 0x2000, 0);
    expected.insert(expected.end(), data.begin(), data.end());
    std::vector<uint8_t> got;
    if (!ReadFile(Path(c, "received.bin"), &got) || got != expected)
        return Failed(r, "the received file differs from what was sent");
    r.ok = true;
    return r;
}

// The simulator alone, with a PC that costs no time: everything written at
// once (it fits in the pseudo-terminal), or read as soon as it comes. What
// these lose against the ideal is the simulator's, not velta's.
Paced SimAloneLoads(const Config& c, unsigned rate, size_t size) {
    Paced r;
    r.ideal = static_cast<double>(size + kHeaderSize) * 10.0 / rate;
    std::vector<uint8_t> line = TransferHeader(static_cast<uint32_t>(size + kHeaderSize), 0x2000, 0);
    std::vector<uint8_t> data = PseudoRandomBytes(size, 1);
    line.insert(line.end(), data.begin(), data.end());
    Sim sim(c, {"--baud", std::to_string(rate), "--idle", "5"});
    if (sim.PtyPath().empty() || !sim.WaitFor({"ready:"}, 10)) return Failed(r, "the simulator did not start");
    const int fd = open(sim.PtyPath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return Failed(r, "cannot open the simulator's line");
    MakeRaw(fd);
    const double start = Now();
    const bool written = WriteAll(fd, line, 30);
    std::string report;
    double done = 0;
    const bool ended = sim.WaitFor({"complete", "incomplete", "overrun", "wrong", "bad"}, r.ideal * 3 + 30, &report, &done);
    close(fd);
    if (!written || !ended || report.rfind("complete: " + std::to_string(size) + " bytes", 0) != 0)
        return Failed(r, "the simulator said: " + sim.Tail());
    r.ok = true;
    r.wall = done - start;
    return r;
}

Paced SimAloneSends(const Config& c, unsigned rate, size_t size) {
    Paced r;
    r.ideal = static_cast<double>(size + kHeaderSize) * 10.0 / rate;
    WriteFile(Path(c, "device.bin"), PseudoRandomBytes(size, 2));
    Sim sim(c, {"--send", Path(c, "device.bin"), "--baud", std::to_string(rate), "--wait-open", "--linger", "0.2"});
    if (sim.PtyPath().empty() || !sim.WaitFor({"waiting:"}, 10)) return Failed(r, "the simulator did not start");
    const int fd = open(sim.PtyPath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return Failed(r, "cannot open the simulator's line");
    MakeRaw(fd);
    const double start = Now();
    tcflush(fd, TCIOFLUSH);  // as a PC opening the line does
    std::vector<uint8_t> got;
    double last = 0;
    const bool all = ReadExactly(fd, size + kHeaderSize, r.ideal * 3 + 30, &got, &last);
    close(fd);
    if (!all) return Failed(r, "the simulator did not send everything");
    r.ok = true;
    r.wall = last - start;
    return r;
}

// ---------------------------------------------------------------------------
// 3: unpaced, the other end of the pseudo-terminal as fast as it can

struct Unpaced {
    bool ok = false;
    std::string why;
    double seconds = 0;
    double cpu = 0;
    double BytesPerSecond() const { return seconds > 0 ? (kUnpacedSize + kHeaderSize) / seconds : 0; }
    double CpuPerMiB() const { return cpu * (1024.0 * 1024.0) / (kUnpacedSize + kHeaderSize); }
};

Unpaced UnpacedFailed(const std::string& why) {
    Unpaced r;
    r.why = why;
    return r;
}

// What the line carries in the unpaced runs: header, then 1 MiB.
const std::vector<uint8_t>& LineBytes() {
    static const std::vector<uint8_t> bytes = [] {
        std::vector<uint8_t> b = TransferHeader(static_cast<uint32_t>(kUnpacedSize + kHeaderSize), 0x2000, 0);
        std::vector<uint8_t> data = PseudoRandomBytes(kUnpacedSize, 3);
        b.insert(b.end(), data.begin(), data.end());
        return b;
    }();
    return bytes;
}

// A program on the slave writes (it is told the slave's path, or has it as
// its standard output); we read the master until all has come.
Unpaced SendToReader(const Config& c, const std::function<std::vector<std::string>(const std::string&)>& argv,
                     bool onStdout) {
    Pty pty;
    SetNonblocking(pty.master);
    ChildOptions options;
    options.cwd = c.work;
    if (onStdout) options.stdio.out = pty.slave;
    Child sender(argv(pty.path), options);
    std::vector<uint8_t> got;
    double last = 0;
    const bool all = ReadExactly(pty.master, LineBytes().size(), 300, &got, &last,
                                 [&sender] { return sender.Wait(0); });
    if (!sender.Wait(30)) return UnpacedFailed("the sender did not end");
    if (!all || got != LineBytes())
        return UnpacedFailed("the bytes read differ from the bytes sent; the sender ended with " + sender.Status());
    Unpaced r;
    r.ok = true;
    r.seconds = last - sender.StartTime();
    r.cpu = sender.CpuSeconds();
    return r;
}

Unpaced SendVelta(const Config& c) {
    WriteFile(Path(c, "big.bin"), std::vector<uint8_t>(LineBytes().begin() + kHeaderSize, LineBytes().end()));
    return SendToReader(
        c, [&c](const std::string& path) { return std::vector<std::string>{c.velta, "big.bin", "-MS", "-B38400", "-P" + path}; },
        false);
}

Unpaced SendCat(const Config& c) {
    // The terminal is already raw, as stty raw leaves it.
    return SendToReader(c, [&c](const std::string&) { return std::vector<std::string>{"cat", Path(c, "line.bin")}; },
                        true);
}

// sz on one end, rz on the other, each on a terminal of its own; the
// figures are those of the PC's side. The transfer is over when sz ends: it
// has then had rz's word that the file is stored. rz may still wait a while
// for sz's last "OO" (it drops it when it comes early), which is no part of
// moving the file; it is stopped if it has not ended within 3 s.
Unpaced Zmodem(const Config& c, bool pcSends) {
    Pty pcLine, deviceLine;
    Relay relay(pcLine.master, deviceLine.master);
    const std::string dir = Path(c, pcSends ? "rz-device" : "rz-pc");
    mkdir(dir.c_str(), 0755);
    unlink((dir + "/line.bin").c_str());
    ChildOptions receiverOptions, senderOptions;
    receiverOptions.cwd = dir;
    const int receiverFd = pcSends ? deviceLine.slave : pcLine.slave;
    const int senderFd = pcSends ? pcLine.slave : deviceLine.slave;
    receiverOptions.stdio.in = receiverOptions.stdio.out = receiverFd;
    senderOptions.stdio.in = senderOptions.stdio.out = senderFd;
    Child receiver({"rz", "-b", "-q", "-y"}, receiverOptions);
    Child sender({"sz", "-b", "-q", Path(c, "line.bin")}, senderOptions);
    const bool sent = sender.Wait(300);
    if (!receiver.Wait(3)) receiver.Signal(SIGTERM);
    receiver.Wait(10);
    std::vector<uint8_t> got;
    if (!sent || sender.ExitCode() != 0) return UnpacedFailed("sz ended with " + sender.Status());
    if (!ReadFile(dir + "/line.bin", &got) || got != LineBytes()) return UnpacedFailed("rz stored other bytes");
    const Child& pc = pcSends ? sender : receiver;
    Unpaced r;
    r.ok = true;
    r.seconds = sender.EndTime() - pc.StartTime();
    r.cpu = pc.CpuSeconds();
    return r;
}

// velta receives what we write as soon as it has opened the line.
Unpaced ReceiveVelta(const Config& c) {
    Pty pty;
    EnablePacketMode(pty.master);
    unlink(Path(c, "in.bin").c_str());
    ChildOptions options;
    options.cwd = c.work;
    Child velta({c.velta, "in.bin", "-MR", "-B38400", "-P" + pty.path}, options);
    if (!WaitForFlush(pty.master, 10)) return UnpacedFailed("velta did not open the line");
    SetNonblocking(pty.master);
    if (!WriteAll(pty.master, LineBytes(), 300, [&velta] { return velta.Wait(0); }))
        return UnpacedFailed("velta did not take the bytes; it ended with " + velta.Status());
    if (!velta.Wait(60)) return UnpacedFailed("velta did not end");
    std::vector<uint8_t> got;
    if (!ReadFile(Path(c, "in.bin"), &got) || got != LineBytes()) return UnpacedFailed("velta stored other bytes");
    Unpaced r;
    r.ok = true;
    r.seconds = velta.EndTime() - velta.StartTime();
    r.cpu = velta.CpuSeconds();
    return r;
}

// cat from the raw terminal never ends by itself: it is done when its file
// holds every byte, and is then stopped.
Unpaced ReceiveCat(const Config& c) {
    Pty pty;
    const std::string out = Path(c, "cat.out");
    OutputFile file(out);
    ChildOptions options;
    options.stdio.in = pty.slave;
    options.stdio.out = file.fd;
    Child cat({"cat"}, options);
    SetNonblocking(pty.master);
    const size_t n = LineBytes().size();
    if (!WriteAll(pty.master, LineBytes(), 300, [&cat] { return cat.Wait(0); }))
        return UnpacedFailed("cat did not take the bytes; it ended with " + cat.Status());
    const double deadline = Now() + 60;
    while (FileSize(out) < static_cast<long>(n) && Now() < deadline) SleepSeconds(0.0002);
    const double done = Now();
    cat.Signal(SIGTERM);
    cat.Wait(10);
    std::vector<uint8_t> got;
    if (!ReadFile(out, &got) || got != LineBytes()) return UnpacedFailed("cat stored other bytes");
    Unpaced r;
    r.ok = true;
    r.seconds = done - cat.StartTime();
    r.cpu = cat.CpuSeconds();
    return r;
}

// ---------------------------------------------------------------------------
// 4: SIGINT to exit

struct Latency {
    std::vector<double> seconds;
    std::string why;  // the first failure, if any
    double Median() const {
        if (seconds.empty()) return 0;
        std::vector<double> s = seconds;
        std::sort(s.begin(), s.end());
        size_t m = s.size() / 2;
        return s.size() % 2 ? s[m] : (s[m - 1] + s[m]) / 2;
    }
    double Max() const { return seconds.empty() ? 0 : *std::max_element(seconds.begin(), seconds.end()); }
};

// The moment the program sits in its wait: for velta, blocked in poll twice
// in a row; under Wine, the shim has seen the serial wait set up.
bool WaitUntilWaiting(const Target& t, const Child& velta, double timeout) {
    const double deadline = Now() + timeout;
    int inPoll = 0;
    while (Now() < deadline) {
        if (t.IsWine()) {
            std::ifstream log(t.shimLog);
            std::string text((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
            if (text.find("WAIT") != std::string::npos) {
                SleepSeconds(0.05);
                return true;
            }
        } else if (BlockedInPoll(velta.Pid()) && ++inPoll >= 2) {
            return true;
        } else if (!BlockedInPoll(velta.Pid())) {
            inPoll = 0;
        }
        SleepSeconds(0.005);
    }
    return false;
}

// SIGINT now; the seconds until the process has ended, or -1.
double Interrupt(const Config& c, const Target& t, Child& velta, std::string* why) {
    if (velta.Wait(0)) {
        *why = "velta had already ended";
        return -1;
    }
    const double sent = Now();
    velta.Signal(SIGINT);
    if (!velta.Wait(10)) {
        *why = "velta did not end within 10 s of SIGINT";
        return -1;
    }
    if (velta.ExitCode() != 1) {
        *why = "velta ended with " + velta.Status() + " instead of status 1; its output ended \"" +
               ConsoleTail(c, t) + "\"";
        return -1;
    }
    return velta.EndTime() - sent;
}

double AbortAtPrompt(const Config& c, const Target& t, std::string* why) {
    Pty pty;
    if (t.IsWine()) unlink(t.shimLog.c_str());
    auto velta = StartTarget(c, t, {"prompt.bin", "-MR", t.PortOption(pty.path)});
    if (!WaitUntilWaiting(t, *velta, 30)) {
        *why = "velta did not reach the prompt";
        return -1;
    }
    return Interrupt(c, t, *velta, why);
}

double AbortInData(const Config& c, const Target& t, std::string* why) {
    Sim sim(c, {"--send", Path(c, "long.bin"), "--baud", "38400", "--wait-open", "--linger", "0"});
    if (!sim.WaitFor({"waiting:"}, 10)) {
        *why = "the simulator did not start";
        return -1;
    }
    auto velta = StartTarget(c, t, {"data.bin", "-MR", "-B38400", t.PortOption(sim.PtyPath())});
    if (!sim.WaitFor({"sending:"}, 30)) {
        *why = "the simulator did not start sending";
        return -1;
    }
    SleepSeconds(0.2);
    return Interrupt(c, t, *velta, why);
}

double AbortWhileHeld(const Config& c, const Target& t, std::string* why) {
    Sim sim(c, {"--baud", "38400", "--xonxoff", "--hang-after", "64", "--idle", "60"});
    if (!sim.WaitFor({"ready:"}, 10)) {
        *why = "the simulator did not start";
        return -1;
    }
    auto velta = StartTarget(c, t, {"long.bin", "-MS", "-F2", "-B38400", t.PortOption(sim.PtyPath())});
    if (!sim.WaitFor({"hanging:"}, 30)) {
        *why = "the simulator did not hold the line";
        return -1;
    }
    SleepSeconds(0.2);
    if (!t.IsWine() && !WaitUntilWaiting(t, *velta, 10)) {
        *why = "velta is not waiting for the held line";
        return -1;
    }
    return Interrupt(c, t, *velta, why);
}

using AbortRun = double (*)(const Config&, const Target&, std::string*);

Latency MeasureAbort(const Config& c, const Target& t, AbortRun run) {
    Latency l;
    for (int i = 0; i < kAbortRuns; ++i) {
        std::string why;
        double s = run(c, t, &why);
        if (s >= 0) l.seconds.push_back(s);
        else if (l.why.empty()) l.why = why;
    }
    return l;
}

// Sitting at the reception prompt with nothing arriving, for two seconds.
Paced IdleAtPrompt(const Config& c, const Target& t) {
    Paced r;
    Pty pty;
    if (t.IsWine()) unlink(t.shimLog.c_str());
    auto velta = StartTarget(c, t, {"idle.bin", "-MR", t.PortOption(pty.path)});
    if (!WaitUntilWaiting(t, *velta, 30)) return Failed(r, "velta did not reach the prompt");
    const double cpu0 = ProcessCpuSeconds(velta->Pid()), server0 = t.ServerCpu(), start = Now();
    SleepSeconds(2);
    r.cpu = ProcessCpuSeconds(velta->Pid()) - cpu0;
    r.serverCpu = t.ServerCpu() - server0;
    r.wall = Now() - start;
    velta->Signal(SIGINT);
    r.ok = velta->Wait(10);
    return r;
}

// Start-up and exit alone: a port that cannot be opened.
Paced StartAndExit(const Config& c, const Target& t) {
    Paced r;
    const double server0 = t.ServerCpu();
    auto velta = StartTarget(c, t, {"none.bin", "-MR", t.IsWine() ? "-P0" : "-P/nonexistent/port"});
    if (!velta->Wait(60)) return Failed(r, "did not end");
    r.ok = velta->ExitCode() == 1;
    r.cpu = velta->CpuSeconds();
    r.serverCpu = t.ServerCpu() - server0;
    r.wall = velta->EndTime() - velta->StartTime();
    return r;
}

// ---------------------------------------------------------------------------
// The table

struct TargetFigures {
    Target target;
    Paced startExit;
    Paced idle;  // at the reception prompt, nothing arriving
    Paced send38, sendXon, receive38, receiveXon;
    Paced sendUart;  // the -F0 send on an emulated UART output queue
    Paced sendUsb;   // the same on a modelled USB adapter
    Paced receive38by1, receive38by8;  // bytes arriving 1 and 8 at a time
    Paced send96, receive96;
    // The simulator with a PC that costs no time, for the same four runs.
    Paced aloneLoad38, aloneLoad96, aloneSend38, aloneSend96;
    Latency prompt, data, held;
};

std::string Percent(const Paced& p, bool withServer = false) {
    if (!p.ok) return p.why.empty() ? "-" : "failed";
    char text[64];
    if (withServer || p.runs < 2)
        std::snprintf(text, sizeof text, "%.2f %%", 100 * (withServer ? p.ShareWithServer() : p.Share()));
    else
        std::snprintf(text, sizeof text, "%.2f %% (%.2f-%.2f)", 100 * p.Share(), 100 * p.shareMin, 100 * p.shareMax);
    return text;
}

std::string Seconds(const Paced& p) {
    if (!p.ok) return "failed";
    char text[32];
    std::snprintf(text, sizeof text, "%.3f s", p.wall);
    return text;
}

std::string Excess(const Paced& p, double reference) {
    if (!p.ok || reference <= 0) return "-";
    char text[32];
    std::snprintf(text, sizeof text, "%+.2f %%", 100 * (p.wall / reference - 1));
    return text;
}

std::string Milliseconds(const Latency& l) {
    if (l.seconds.empty()) return "failed";
    char text[64];
    std::snprintf(text, sizeof text, "%6.1f / %6.1f", 1000 * l.Median(), 1000 * l.Max());
    std::string s = text;
    if (l.seconds.size() < kAbortRuns) s += " (" + std::to_string(l.seconds.size()) + " runs)";
    return s;
}

std::string CpuModel() {
    std::ifstream in("/proc/cpuinfo");
    for (std::string line; std::getline(in, line);)
        if (line.rfind("model name", 0) == 0) return line.substr(line.find(':') + 2);
    return "unknown";
}

std::string LoadAverage() {
    std::string s = FirstLineOf("/proc/loadavg");
    size_t cut = 0;
    for (int i = 0; i < 3 && cut != std::string::npos; ++i) cut = s.find(' ', cut + 1);
    return s.substr(0, cut);
}

void PrintMachine(const std::string& loadBefore) {
    utsname u;
    uname(&u);
    std::string os = CommandOutput(". /etc/os-release 2>/dev/null && echo \"$PRETTY_NAME\"");
    char date[32];
    time_t now = time(nullptr);
    strftime(date, sizeof date, "%Y-%m-%d %H:%M", localtime(&now));
    std::printf("Machine: %ld x %s; %s %s %s; %s; %s\n", sysconf(_SC_NPROCESSORS_ONLN), CpuModel().c_str(), u.sysname,
                u.release, u.machine, os.c_str(), date);
    std::printf("Load average before / after: %s / %s; one system call (getppid) takes %.2f us\n",
                loadBefore.c_str(), LoadAverage().c_str(), SystemCallMicroseconds());
}

void PrintRow(const char* label, const std::vector<std::string>& cells) {
    std::printf("  %-40s", label);
    for (const std::string& cell : cells) std::printf(" %20s", cell.c_str());
    std::printf("\n");
}

void PrintProcessorUse(const std::vector<TargetFigures>& all) {
    std::printf("\n1. Processor use while the line paces: user+system seconds / wall seconds, 16 KiB at 38400 bit/s "
                "(goal < 2 %%)\n");
    std::vector<std::string> head;
    for (const auto& f : all) {
        head.push_back(f.target.name);
        if (f.target.IsWine()) head.push_back(f.target.name + "+server");
    }
    PrintRow("", head);
    using Field = Paced TargetFigures::*;
    const std::pair<const char*, Field> rows[] = {
        {"send, paced by the line rate (-F0)", &TargetFigures::send38},
        {"send, held back by XON/XOFF (-F2)", &TargetFigures::sendXon},
        {"send -F0, emulated UART output queue", &TargetFigures::sendUart},
        {"send -F0, USB adapter model", &TargetFigures::sendUsb},
        {"receive, paced by the line rate (-F0)", &TargetFigures::receive38},
        {"  the same, 8 bytes per arrival", &TargetFigures::receive38by8},
        {"  the same, 1 byte per arrival", &TargetFigures::receive38by1},
        {"receive, with XON/XOFF (-F2)", &TargetFigures::receiveXon},
        {"waiting at the reception prompt (2 s)", &TargetFigures::idle},
    };
    for (const auto& row : rows) {
        std::vector<std::string> cells;
        for (const auto& f : all) {
            cells.push_back(Percent(f.*row.second));
            if (f.target.IsWine()) cells.push_back(Percent(f.*row.second, true));
        }
        PrintRow(row.first, cells);
    }
    std::vector<std::string> startCells;
    for (const auto& f : all) {
        char text[48];
        std::snprintf(text, sizeof text, "%.3f s CPU", f.startExit.cpu);
        startCells.push_back(text);
        if (f.target.IsWine()) {
            std::snprintf(text, sizeof text, "%.3f s CPU", f.startExit.cpu + f.startExit.serverCpu);
            startCells.push_back(text);
        }
    }
    PrintRow("(of which start-up and exit alone)", startCells);
    for (const auto& f : all)
        for (const Paced* p : {&f.send38, &f.sendXon, &f.sendUart, &f.sendUsb, &f.receive38, &f.receive38by8,
                               &f.receive38by1, &f.receiveXon, &f.idle})
            if (!p->ok && !p->why.empty()) std::printf("  %s: %s\n", f.target.name.c_str(), p->why.c_str());
}

void PrintEfficiency(const TargetFigures& f) {
    std::printf("\n2. Line efficiency (%s): wall time against bytes x 10 / rate, header included (goal within 3 %%)\n",
                f.target.name.c_str());
    std::printf("  %-36s %9s %10s %10s %12s %12s\n", "", "velta", "sim alone", "ideal", "velta/ideal",
                "velta/alone");
    const struct {
        const char* label;
        const Paced& velta;
        const Paced& alone;
    } rows[] = {
        {"send 16 KiB at 38400 bit/s (-F0)", f.send38, f.aloneLoad38},
        {"  the same, emulated UART output queue", f.sendUart, f.aloneLoad38},
        {"send 4 KiB at 9600 bit/s (-F0)", f.send96, f.aloneLoad96},
        {"receive 16 KiB at 38400 bit/s (-F0)", f.receive38, f.aloneSend38},
        {"receive 4 KiB at 9600 bit/s (-F0)", f.receive96, f.aloneSend96},
    };
    for (const auto& row : rows) {
        std::printf("  %-36s %9s %10s %8.3f s %12s %12s\n", row.label, Seconds(row.velta).c_str(),
                    Seconds(row.alone).c_str(), row.velta.ideal, Excess(row.velta, row.velta.ideal).c_str(),
                    Excess(row.velta, row.alone.ok ? row.alone.wall : 0).c_str());
        if (!row.velta.ok) std::printf("    velta: %s\n", row.velta.why.c_str());
        if (!row.alone.ok) std::printf("    simulator alone: %s\n", row.alone.why.c_str());
    }
}

struct UnpacedRow {
    const char* label;
    Unpaced u;
};

void PrintUnpacedGroup(const char* title, const std::vector<UnpacedRow>& rows) {
    std::printf("  %s\n", title);
    const Unpaced& cat = rows[1].u;
    for (const UnpacedRow& row : rows) {
        if (!row.u.ok) {
            std::printf("    %-12s failed: %s\n", row.label, row.u.why.c_str());
            continue;
        }
        std::printf("    %-12s %12.0f %14.4f", row.label, row.u.BytesPerSecond(), row.u.CpuPerMiB());
        if (cat.ok) std::printf(" %12.4f %12.1f", row.u.BytesPerSecond() / cat.BytesPerSecond(),
                                row.u.CpuPerMiB() / std::max(cat.CpuPerMiB(), 1e-6));
        std::printf("\n");
    }
}

void PrintUnpaced(const std::vector<UnpacedRow>& send, const std::vector<UnpacedRow>& receive) {
    std::printf("\n3. Unpaced, 1 MiB + 16-byte header over a pseudo-terminal, the other end as fast as it can\n");
    std::printf("    %-12s %12s %14s %12s %12s\n", "", "bytes/s", "CPU s per MiB", "speed / cat", "CPU / cat");
    PrintUnpacedGroup("PC sends (the program on the slave writes):", send);
    PrintUnpacedGroup("PC receives (the program on the slave reads):", receive);
}

void PrintAbort(const std::vector<TargetFigures>& all) {
    std::printf("\n4. Abort latency, SIGINT to process exit, median / max in ms over %d runs (goal < 50 ms)\n",
                kAbortRuns);
    std::vector<std::string> head;
    for (const auto& f : all) head.push_back(f.target.name);
    PrintRow("", head);
    using Field = Latency TargetFigures::*;
    const std::pair<const char*, Field> rows[] = {
        {"at the reception prompt", &TargetFigures::prompt},
        {"in received data (38400 bit/s)", &TargetFigures::data},
        {"while XOFF holds the sender", &TargetFigures::held},
    };
    for (const auto& row : rows) {
        std::vector<std::string> cells;
        for (const auto& f : all) cells.push_back(Milliseconds(f.*row.second));
        PrintRow(row.first, cells);
    }
    for (const auto& f : all)
        for (const Latency* l : {&f.prompt, &f.data, &f.held})
            if (!l->why.empty()) std::printf("  %s: %s\n", f.target.name.c_str(), l->why.c_str());
}

// 5: a send on modelled real ports

struct PortRow {
    unsigned rate = 0;
    size_t size = 0;
    Paced uart, usb, alone;
};

struct PortFigures {
    std::vector<PortRow> rows;
    Paced uartXon, usbXon;  // -F2 at 38400 bit/s
};

std::string Efficiency(const Paced& p) {
    if (!p.ok) return "failed";
    char text[32];
    std::snprintf(text, sizeof text, "%.1f %%", 100 * p.ideal / p.wall);
    return text;
}

void PrintPorts(const PortFigures& f) {
    std::printf("\n5. Send on a modelled UART (16-byte FIFO) and USB adapter (1 ms frames), native, -F0: line efficiency\n"
                "   (ideal / wall time, goal >= 95 %% on the USB adapter), processor share, most bytes on their way\n");
    std::printf("  %-22s %10s %10s %10s %10s %10s %11s %10s\n", "", "UART", "USB", "sim alone", "UART CPU",
                "USB CPU", "UART most", "USB most");
    for (const PortRow& r : f.rows) {
        char label[48];
        std::snprintf(label, sizeof label, "%zu KiB at %u bit/s", r.size / 1024, r.rate);
        std::printf("  %-22s %10s %10s %10s %10s %10s %11ld %10ld\n", label, Efficiency(r.uart).c_str(),
                    Efficiency(r.usb).c_str(), Efficiency(r.alone).c_str(), Percent(r.uart, true).c_str(),
                    Percent(r.usb, true).c_str(), r.uart.largest, r.usb.largest);
        for (const Paced* p : {&r.uart, &r.usb, &r.alone})
            if (!p->ok) std::printf("    %s\n", p->why.c_str());
    }
    std::printf("  -F2 at 38400 bit/s, the most bytes on their way at once (what the device may still get after\n"
                "  its XOFF): UART %ld, USB %ld; line efficiency UART %s, USB %s\n",
                f.uartXon.largest, f.usbXon.largest, Efficiency(f.uartXon).c_str(), Efficiency(f.usbXon).c_str());
    for (const Paced* p : {&f.uartXon, &f.usbXon})
        if (!p->ok) std::printf("    %s\n", p->why.c_str());
}

// ---------------------------------------------------------------------------

void Note(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Note(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::fprintf(stderr, "bench: ");
    std::vfprintf(stderr, format, args);
    std::fprintf(stderr, "\n");
    va_end(args);
}

void MeasurePaced(const Config& c, const Target& t, TargetFigures* out);

TargetFigures MeasureTarget(const Config& c, const Target& t) {
    TargetFigures f;
    f.target = t;
    Note("%s: start-up and exit", t.name.c_str());
    f.startExit = StartAndExit(c, t);
    if (c.Wants('p')) MeasurePaced(c, t, &f);
    if (!c.Wants('a')) return f;
    Note("%s: abort latency, 3 x %d runs", t.name.c_str(), kAbortRuns);
    f.prompt = MeasureAbort(c, t, AbortAtPrompt);
    f.data = MeasureAbort(c, t, AbortInData);
    f.held = MeasureAbort(c, t, AbortWhileHeld);
    return f;
}

void MeasurePaced(const Config& c, const Target& t, TargetFigures* out) {
    TargetFigures& f = *out;
    const int n = t.IsWine() ? 1 : c.repeats;
    const Target uart = WithUart(c, t);
    Note("%s: 16 KiB each way at 38400 bit/s, %d time(s) (about %d s)", t.name.c_str(), n, 25 * n);
    f.send38 = Median(n, [&] { return PacedSend(c, t, 38400, kPacedSize, false); });
    f.sendXon = Median(n, [&] { return PacedSend(c, t, 38400, kPacedSize, true); });
    f.sendUart = Median(n, [&] { return PacedSend(c, uart, 38400, kPacedSize, false); });
    f.sendUsb = Median(n, [&] { return PacedSend(c, WithUsbAdapter(c, t), 38400, kPacedSize, false); });
    f.receive38 = Median(n, [&] { return PacedReceive(c, t, 38400, kPacedSize, false); });
    f.receiveXon = Median(n, [&] { return PacedReceive(c, t, 38400, kPacedSize, true); });
    if (!t.IsWine()) {
        Note("%s: 16 KiB received at 38400 bit/s, 8 and 1 bytes per arrival (about %d s)", t.name.c_str(), 9 * n);
        f.receive38by8 = Median(n, [&] { return PacedReceive(c, t, 38400, kPacedSize, false, 8); });
        f.receive38by1 = Median(n, [&] { return PacedReceive(c, t, 38400, kPacedSize, false, 1); });
    }
    f.idle = IdleAtPrompt(c, t);
    if (t.IsWine()) return;
    Note("4 KiB each way at 9600 bit/s (about 9 s)");
    f.send96 = PacedSend(c, t, 9600, kSlowSize, false);
    f.receive96 = PacedReceive(c, t, 9600, kSlowSize, false);
    Note("the simulator alone, the same four runs (about %d s)", 9 * n + 9);
    f.aloneLoad38 = Median(n, [&] { return SimAloneLoads(c, 38400, kPacedSize); });
    f.aloneSend38 = Median(n, [&] { return SimAloneSends(c, 38400, kPacedSize); });
    f.aloneLoad96 = SimAloneLoads(c, 9600, kSlowSize);
    f.aloneSend96 = SimAloneSends(c, 9600, kSlowSize);
}

PortFigures MeasurePorts(const Config& c, const Target& t) {
    PortFigures f;
    const int n = c.repeats;
    Note("modelled ports: a send at 9600, 19200 and 38400 bit/s on each, %d time(s) (about %d s)", n, 12 * n + 20);
    for (unsigned rate : {9600u, 19200u, 38400u}) {
        PortRow r;
        r.rate = rate;
        r.size = rate / 4800 * 1024;  // about 2 s on the line
        r.uart = Median(n, [&] { return PacedSend(c, WithUart(c, t), rate, r.size, false); });
        r.usb = Median(n, [&] { return PacedSend(c, WithUsbAdapter(c, t), rate, r.size, false); });
        r.alone = SimAloneLoads(c, rate, r.size);
        f.rows.push_back(r);
    }
    f.uartXon = PacedSend(c, WithUart(c, t), 38400, 8 * 1024, true);
    f.usbXon = PacedSend(c, WithUsbAdapter(c, t), 38400, 8 * 1024, true);
    return f;
}

void MeasureUnpaced(const Config& c, std::vector<UnpacedRow>* send, std::vector<UnpacedRow>* receive) {
    Note("unpaced: 1 MiB each way for velta, cat and sz/rz");
    WriteFile(Path(c, "line.bin"), LineBytes());
    send->push_back({"velta -MS", SendVelta(c)});
    send->push_back({"cat (raw)", SendCat(c)});
    send->push_back({"sz", Zmodem(c, true)});
    receive->push_back({"velta -MR", ReceiveVelta(c)});
    receive->push_back({"cat (raw)", ReceiveCat(c)});
    receive->push_back({"rz", Zmodem(c, false)});
}

bool ParseArguments(int argc, char** argv, Config* c) {
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string key = argv[i], value = argv[i + 1];
        if (key == "--velta") c->velta = value;
        else if (key == "--sim") c->sim = value;
        else if (key == "--work") c->work = value;
        else if (key == "--wine-exe") c->wineExe = value;
        else if (key == "--wine-shim") c->wineShim = value;
        else if (key == "--parts") c->parts = value;
        else if (key == "--repeats") c->repeats = std::atoi(value.c_str());
        else if (key == "--uart-shim") c->uartShim = value;
        else if (key == "--wine-server-pid") c->wineServer = static_cast<pid_t>(std::atoi(value.c_str()));
        else return false;
    }
    for (std::string* path : {&c->velta, &c->sim, &c->work, &c->uartShim, &c->wineExe, &c->wineShim}) {
        char* absolute = path->empty() ? nullptr : realpath(path->c_str(), nullptr);
        if (absolute) *path = absolute;
        std::free(absolute);
    }
    const char* prefix = std::getenv("WINEPREFIX");
    c->winePrefix = prefix ? prefix : "";
    return !c->velta.empty() && !c->sim.empty() && !c->work.empty() && !c->uartShim.empty() &&
           (c->wineExe.empty() || (!c->wineShim.empty() && !c->winePrefix.empty()));
}

Target NativeTarget(const Config& c) {
    Target t;
    t.name = "native";
    t.launcher = {c.velta};
    return t;
}

Target WineTarget(const Config& c) {
    Target t;
    t.name = "Wine";
    t.launcher = {"wine", c.wineExe};
    t.winePrefix = c.winePrefix;
    t.shimLog = Path(c, "shim.log");
    t.server = c.wineServer;
    t.env = {"WINEDEBUG=-all", "VELTA_SHIM_LOG=" + t.shimLog, "LC_ALL=C"};
    t.preload = {c.wineShim};
    return t;
}

}  // namespace

int main(int argc, char** argv) {
    Config c;
    if (!ParseArguments(argc, argv, &c)) {
        std::fprintf(stderr,
                     "usage: velta-bench --velta PATH --sim PATH --uart-shim PATH --work DIR\n"
                     "                   [--parts puar] [--repeats N]\n"
                     "                   [--wine-exe PATH --wine-shim PATH --wine-server-pid PID]\n");
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    const std::string loadBefore = LoadAverage();
    WriteFile(Path(c, "long.bin"), PseudoRandomBytes(64 * 1024, 4));
    std::vector<TargetFigures> all;
    all.push_back(MeasureTarget(c, NativeTarget(c)));
    PortFigures ports;
    if (c.Wants('r')) ports = MeasurePorts(c, NativeTarget(c));
    std::vector<UnpacedRow> send, receive;
    if (c.Wants('u')) MeasureUnpaced(c, &send, &receive);
    if (!c.wineExe.empty()) all.push_back(MeasureTarget(c, WineTarget(c)));

    std::printf("\nVELTA benchmarks\n");
    PrintMachine(loadBefore);
    if (!c.wineExe.empty()) std::printf("Wine: %s\n", CommandOutput("wine --version 2>/dev/null").c_str());
    std::printf("lrzsz: %s\n", CommandOutput("sz --version 2>&1 | head -1").c_str());
    if (c.Wants('p')) {
        PrintProcessorUse(all);
        PrintEfficiency(all[0]);
    }
    if (c.Wants('u')) PrintUnpaced(send, receive);
    if (c.Wants('a')) PrintAbort(all);
    if (c.Wants('r')) PrintPorts(ports);
    return 0;
}
