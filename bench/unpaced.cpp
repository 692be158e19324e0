// velta-bench 3: velta unpaced, the other end of a pseudo-terminal as fast
// as it can, beside cat to a raw terminal and sz/rz.
#include <fcntl.h>
#include <sys/stat.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench.h"

namespace bench {

namespace {

Unpaced UnpacedFailed(const std::string& why) {
    Unpaced r;
    r.why = why;
    return r;
}

// Every byte moved in `seconds`, at the processor cost of p.
Unpaced Measured(double seconds, const Process& p) {
    Unpaced r;
    r.ok = true;
    r.seconds = seconds;
    r.cpu = p.cpuSeconds();
    return r;
}

// What the line carries in the unpaced runs: header, then 1 MiB.
const std::string& LineBytes() {
    static const std::string bytes =
        HeaderBytes(static_cast<uint32_t>(kUnpacedSize + kHeaderSize), 0x2000) + Pattern(kUnpacedSize, 3);
    return bytes;
}

// A program on the slave writes (it is told the slave's path, or has it as
// its standard output); we read the master until all has come.
Unpaced SendToReader(const Config& c, const std::function<std::vector<std::string>(const std::string&)>& argv,
                     bool onStdout) {
    Pty pty;
    SetNonblocking(pty.master());
    ProcessOptions options = InWork(c);
    if (onStdout) options.stdoutFd = pty.slave();
    Process sender(argv(pty.path()), options);
    std::string got;
    double last = 0;
    const bool all = ReadTimed(pty.master(), LineBytes().size(), 300, &got, &last,
                                 [&sender] { return sender.Ended(0); });
    if (!sender.Ended(30)) return UnpacedFailed("the sender did not end");
    if (!all || got != LineBytes())
        return UnpacedFailed("the bytes read differ from the bytes sent; the sender ended with " + sender.Status());
    return Measured(last - sender.startTime(), sender);
}

Unpaced SendVelta(const Config& c) {
    WriteFile(Path(c, "big.bin"), std::string(LineBytes().begin() + kHeaderSize, LineBytes().end()));
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
    Relay relay(pcLine.master(), deviceLine.master());
    const std::string dir = Path(c, pcSends ? "rz-device" : "rz-pc");
    mkdir(dir.c_str(), 0755);
    unlink((dir + "/line.bin").c_str());
    ProcessOptions receiverOptions = InWork(c), senderOptions = InWork(c);
    receiverOptions.workingDirectory = dir;
    const int receiverFd = pcSends ? deviceLine.slave() : pcLine.slave();
    const int senderFd = pcSends ? pcLine.slave() : deviceLine.slave();
    receiverOptions.stdinFd = receiverOptions.stdoutFd = receiverFd;
    senderOptions.stdinFd = senderOptions.stdoutFd = senderFd;
    Process receiver({"rz", "-b", "-q", "-y"}, receiverOptions);
    Process sender({"sz", "-b", "-q", Path(c, "line.bin")}, senderOptions);
    const bool sent = sender.Ended(300);
    if (!receiver.Ended(3)) receiver.Signal(SIGTERM);
    receiver.Ended(10);
    if (!sent || sender.exitCode() != 0) return UnpacedFailed("sz ended with " + sender.Status());
    if (ReadFile(dir + "/line.bin") != LineBytes()) return UnpacedFailed("rz stored other bytes");
    const Process& pc = pcSends ? sender : receiver;
    return Measured(sender.endTime() - pc.startTime(), pc);
}

// velta receives what we write as soon as it has opened the line.
Unpaced ReceiveVelta(const Config& c) {
    Pty pty;
    EnablePacketMode(pty.master());
    unlink(Path(c, "in.bin").c_str());
    ProcessOptions options = InWork(c);
    Process velta({c.velta, "in.bin", "-MR", "-B38400", "-P" + pty.path()}, options);
    if (!WaitForFlush(pty.master(), 10)) return UnpacedFailed("velta did not open the line");
    SetNonblocking(pty.master());
    if (!WriteAll(pty.master(), LineBytes(), 300, [&velta] { return velta.Ended(0); }))
        return UnpacedFailed("velta did not take the bytes; it ended with " + velta.Status());
    if (!velta.Ended(60)) return UnpacedFailed("velta did not end");
    if (ReadFile(Path(c, "in.bin")) != LineBytes()) return UnpacedFailed("velta stored other bytes");
    return Measured(velta.endTime() - velta.startTime(), velta);
}

// cat from the raw terminal never ends by itself: it is done when its file
// holds every byte, and is then stopped.
Unpaced ReceiveCat(const Config& c) {
    Pty pty;
    const std::string out = Path(c, "cat.out");
    OutputFile file(out);
    ProcessOptions options = InWork(c);
    options.stdinFd = pty.slave();
    options.stdoutFd = file.fd;
    Process cat({"cat"}, options);
    SetNonblocking(pty.master());
    const size_t n = LineBytes().size();
    if (!WriteAll(pty.master(), LineBytes(), 300, [&cat] { return cat.Ended(0); }))
        return UnpacedFailed("cat did not take the bytes; it ended with " + cat.Status());
    const double deadline = Now() + 60;
    while (FileSize(out) < static_cast<long>(n) && Now() < deadline) SleepSeconds(0.0002);
    const double done = Now();
    cat.Signal(SIGTERM);
    cat.Ended(10);
    if (ReadFile(out) != LineBytes()) return UnpacedFailed("cat stored other bytes");
    return Measured(done - cat.startTime(), cat);
}

}  // namespace

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

}  // namespace bench
