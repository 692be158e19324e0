// velta-bench 1, 2 and 5: velta paced by the simulator at the line rate,
// beside the simulator alone with a PC that costs no time, and a send on a
// modelled UART and USB adapter.
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

// The last "largest N" the port shim noted, or -1.
long LargestOnTheWay(const Subject& t) {
    const std::string log = t.portLog.empty() ? "" : ReadFile(t.portLog);
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

// The report lines with which the simulator ends a load.
const std::vector<std::string> kLoadEnds = {"complete", "incomplete", "overrun", "wrong", "bad"};

std::string Flow(bool xonxoff) { return xonxoff ? "-F2" : "-F0"; }

// velta sends; the time runs from its start until the simulator has taken
// the last byte at the line rate (on a pseudo-terminal velta itself may be
// done long before: the kernel takes 20 KiB without pacing).
Paced PacedSend(const Config& c, const Subject& t, unsigned rate, size_t size, bool xonxoff) {
    Paced r;
    r.ideal = static_cast<double>(size + kHeaderSize) * 10.0 / rate;
    WriteFile(Path(c, "paced.bin"), Pattern(size, 1));
    std::vector<std::string> args = {"--baud", std::to_string(rate), "--idle", "5"};
    if (xonxoff) args.push_back("--xonxoff");
    Sim sim(args, c.work);
    if (!t.portLog.empty()) unlink(t.portLog.c_str());
    const double server0 = t.ServerCpu();
    auto velta = StartSubject(c, t, {"paced.bin", "-MS", "-B" + std::to_string(rate), Flow(xonxoff),
                                    t.PortOption(sim.slave())});
    std::string line;
    double done = 0;
    const bool ended = sim.WaitForLine(kLoadEnds, r.ideal * 3 + 30, &line, &done);
    if (!velta->Ended(30)) return Failed(r, "velta did not end");
    r.serverCpu = t.ServerCpu() - server0;
    r.cpu = velta->cpuSeconds();
    r.wall = done - velta->startTime();
    if (!ended || line.rfind("complete: " + std::to_string(size) + " bytes", 0) != 0)
        return Failed(r, "velta ended with " + velta->Status() + "; the simulator said: " + sim.Tail());
    r.largest = LargestOnTheWay(t);
    r.ok = true;
    return r;
}

// velta receives; the time runs from its start to its end.
// burst: the bytes the simulator hands over at a time (0: its default, what
// 10 ms of the line carries).
Paced PacedReceive(const Config& c, const Subject& t, unsigned rate, size_t size, bool xonxoff, unsigned burst = 0) {
    Paced r;
    r.ideal = static_cast<double>(size + kHeaderSize) * 10.0 / rate;
    std::string data = Pattern(size, 2);
    WriteFile(Path(c, "device.bin"), data);
    std::vector<std::string> args = {"--send", Path(c, "device.bin"), "--baud", std::to_string(rate),
                                     "--wait-open", "--linger", "0.2"};
    if (xonxoff) args.push_back("--xonxoff");
    if (burst) args.insert(args.end(), {"--burst", std::to_string(burst)});
    Sim sim(args, c.work);
    unlink(Path(c, "received.bin").c_str());
    const double server0 = t.ServerCpu();
    auto velta = StartSubject(c, t, {"received.bin", "-MR", "-B" + std::to_string(rate), Flow(xonxoff),
                                    t.PortOption(sim.slave())});
    if (!velta->Ended(r.ideal * 3 + 30)) return Failed(r, "velta did not end");
    r.serverCpu = t.ServerCpu() - server0;
    r.cpu = velta->cpuSeconds();
    r.wall = velta->endTime() - velta->startTime();
    if (ReadFile(Path(c, "received.bin")) != HeaderBytes(static_cast<uint32_t>(size + kHeaderSize), 0x2000) + data)
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
    const std::string line = HeaderBytes(static_cast<uint32_t>(size + kHeaderSize), 0x2000) + Pattern(size, 1);
    Sim sim({"--baud", std::to_string(rate), "--idle", "5"}, c.work);
    const PcSide pc(sim);  // as a PC with no program of ours opens it
    if (pc.fd() < 0) return Failed(r, "cannot open the simulator's line");
    const double start = Now();
    const bool written = WriteAll(pc.fd(), line, 30);
    std::string report;
    double done = 0;
    const bool ended = sim.WaitForLine(kLoadEnds, r.ideal * 3 + 30, &report, &done);
    if (!written || !ended || report.rfind("complete: " + std::to_string(size) + " bytes", 0) != 0)
        return Failed(r, "the simulator said: " + sim.Tail());
    r.ok = true;
    r.wall = done - start;
    return r;
}

Paced SimAloneSends(const Config& c, unsigned rate, size_t size) {
    Paced r;
    r.ideal = static_cast<double>(size + kHeaderSize) * 10.0 / rate;
    WriteFile(Path(c, "device.bin"), Pattern(size, 2));
    Sim sim({"--send", Path(c, "device.bin"), "--baud", std::to_string(rate), "--wait-open", "--linger", "0.2"}, c.work);
    const PcSide pc(sim);
    if (pc.fd() < 0) return Failed(r, "cannot open the simulator's line");
    const double start = Now();
    std::string got;
    double last = 0;
    const bool all = ReadTimed(pc.fd(), size + kHeaderSize, r.ideal * 3 + 30, &got, &last);
    if (!all) return Failed(r, "the simulator did not send everything");
    r.ok = true;
    r.wall = last - start;
    return r;
}

// Sitting at the reception prompt with nothing arriving, for two seconds.
Paced IdleAtPrompt(const Config& c, const Subject& t) {
    Paced r;
    Pty pty;
    if (t.IsWine()) unlink(t.shimLog.c_str());
    auto velta = StartSubject(c, t, {"idle.bin", "-MR", t.PortOption(pty.path())});
    if (!WaitUntilWaiting(t, *velta, 30)) return Failed(r, "velta did not reach the prompt");
    const double cpu0 = ProcessCpuSeconds(velta->pid()), server0 = t.ServerCpu(), start = Now();
    SleepSeconds(2);
    r.cpu = ProcessCpuSeconds(velta->pid()) - cpu0;
    r.serverCpu = t.ServerCpu() - server0;
    r.wall = Now() - start;
    velta->Signal(SIGINT);
    r.ok = velta->Ended(10);
    return r;
}

}  // namespace

// Start-up and exit alone: a port that cannot be opened.
Paced StartAndExit(const Config& c, const Subject& t) {
    Paced r;
    const double server0 = t.ServerCpu();
    auto velta = StartSubject(c, t, {"none.bin", "-MR", t.IsWine() ? "-P0" : "-P/nonexistent/port"});
    if (!velta->Ended(60)) return Failed(r, "did not end");
    r.ok = velta->exitCode() == 1;
    r.cpu = velta->cpuSeconds();
    r.serverCpu = t.ServerCpu() - server0;
    r.wall = velta->endTime() - velta->startTime();
    return r;
}

void MeasurePaced(const Config& c, const Subject& t, SubjectFigures* out) {
    SubjectFigures& f = *out;
    const int n = t.IsWine() ? 1 : c.repeats;
    const Subject uart = WithPortModel(c, t, "uart");
    Note("%s: 16 KiB each way at 38400 bit/s, %d time(s) (about %d s)", t.name.c_str(), n, 25 * n);
    f.send38 = Median(n, [&] { return PacedSend(c, t, 38400, kPacedSize, false); });
    f.sendXon = Median(n, [&] { return PacedSend(c, t, 38400, kPacedSize, true); });
    f.sendUart = Median(n, [&] { return PacedSend(c, uart, 38400, kPacedSize, false); });
    f.sendUsb = Median(n, [&] { return PacedSend(c, WithPortModel(c, t, "usb"), 38400, kPacedSize, false); });
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

PortFigures MeasurePorts(const Config& c, const Subject& t, size_t size) {
    PortFigures f;
    f.name = t.name;
    const int n = c.repeats;
    Note("%s: modelled ports, a send at 9600, 19200 and 38400 bit/s on each, %d time(s) (about %d s)", t.name.c_str(),
         n, size ? static_cast<int>(2 * n * size * 10 * 7 / 38400 + 20) : 18 * n + 24);
    for (unsigned rate : {9600u, 19200u, 38400u}) {
        PortRow r;
        r.rate = rate;
        r.size = size ? size : rate / 4800 * 1024;  // about 2 s on the line
        r.uart = Median(n, [&] { return PacedSend(c, WithPortModel(c, t, "uart"), rate, r.size, false); });
        r.usb = Median(n, [&] { return PacedSend(c, WithPortModel(c, t, "usb"), rate, r.size, false); });
        r.acm = Median(n, [&] { return PacedSend(c, WithPortModel(c, t, "acm"), rate, r.size, false); });
        r.alone = SimAloneLoads(c, rate, r.size);
        f.rows.push_back(r);
    }
    f.uartXon = PacedSend(c, WithPortModel(c, t, "uart"), 38400, 8 * 1024, true);
    f.usbXon = PacedSend(c, WithPortModel(c, t, "usb"), 38400, 8 * 1024, true);
    f.acmXon = PacedSend(c, WithPortModel(c, t, "acm"), 38400, 8 * 1024, true);
    return f;
}

}  // namespace bench
