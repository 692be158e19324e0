// velta-bench 4: SIGINT to exit, at the reception prompt, in received data
// and while XOFF holds the sender.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench.h"

namespace bench {

double Latency::Median() const {
    if (seconds.empty()) return 0;
    std::vector<double> s = seconds;
    std::sort(s.begin(), s.end());
    size_t m = s.size() / 2;
    return s.size() % 2 ? s[m] : (s[m - 1] + s[m]) / 2;
}

double Latency::Max() const { return seconds.empty() ? 0 : *std::max_element(seconds.begin(), seconds.end()); }

bool WaitUntilWaiting(const Subject& t, const Process& velta, double timeout) {
    const double deadline = Now() + timeout;
    int inPoll = 0;
    while (Now() < deadline) {
        if (t.IsWine()) {
            if (ReadFile(t.shimLog).find("WAIT") != std::string::npos) {
                SleepSeconds(0.05);
                return true;
            }
        } else if (BlockedInPoll(velta.pid()) && ++inPoll >= 2) {
            return true;
        } else if (!BlockedInPoll(velta.pid())) {
            inPoll = 0;
        }
        SleepSeconds(0.005);
    }
    return false;
}

namespace {

// A run that measured nothing, and why.
double Failed(std::string* why, const std::string& text) {
    *why = text;
    return -1;
}

// SIGINT now; the seconds until the process has ended, or -1.
double Interrupt(const Config& c, const Subject& t, Process& velta, std::string* why) {
    if (velta.Ended(0)) return Failed(why, "velta had already ended");
    const double sent = Now();
    velta.Signal(SIGINT);
    if (!velta.Ended(10)) return Failed(why, "velta did not end within 10 s of SIGINT");
    if (velta.exitCode() != 1)
        return Failed(why, "velta ended with " + velta.Status() + " instead of status 1; its output ended \"" +
                               ConsoleTail(c, t) + "\"");
    return velta.endTime() - sent;
}

double AbortAtPrompt(const Config& c, const Subject& t, std::string* why) {
    Pty pty;
    if (t.IsWine()) unlink(t.shimLog.c_str());
    auto velta = StartSubject(c, t, {"prompt.bin", "-MR", t.PortOption(pty.path())});
    if (!WaitUntilWaiting(t, *velta, 30)) return Failed(why, "velta did not reach the prompt");
    return Interrupt(c, t, *velta, why);
}

double AbortInData(const Config& c, const Subject& t, std::string* why) {
    Sim sim({"--send", Path(c, "long.bin"), "--baud", "38400", "--wait-open", "--linger", "0"}, c.work);
    auto velta = StartSubject(c, t, {"data.bin", "-MR", "-B38400", t.PortOption(sim.slave())});
    if (!sim.WaitForLine({"sending:"}, 30)) return Failed(why, "the simulator did not start sending");
    SleepSeconds(0.2);
    return Interrupt(c, t, *velta, why);
}

double AbortWhileHeld(const Config& c, const Subject& t, std::string* why) {
    Sim sim({"--baud", "38400", "--xonxoff", "--hang-after", "64", "--idle", "60"}, c.work);
    auto velta = StartSubject(c, t, {"long.bin", "-MS", "-F2", "-B38400", t.PortOption(sim.slave())});
    if (!sim.WaitForLine({"hanging:"}, 30)) return Failed(why, "the simulator did not hold the line");
    SleepSeconds(0.2);
    if (!t.IsWine() && !WaitUntilWaiting(t, *velta, 10)) return Failed(why, "velta is not waiting for the held line");
    return Interrupt(c, t, *velta, why);
}

using AbortRun = double (*)(const Config&, const Subject&, std::string*);

Latency MeasureAbort(const Config& c, const Subject& t, AbortRun run) {
    Latency l;
    for (int i = 0; i < kAbortRuns; ++i) {
        std::string why;
        double s = run(c, t, &why);
        if (s >= 0) l.seconds.push_back(s);
        else if (l.why.empty()) l.why = why;
    }
    return l;
}

}  // namespace

void MeasureAborts(const Config& c, const Subject& t, SubjectFigures* f) {
    Note("%s: abort latency, 3 x %d runs", t.name.c_str(), kAbortRuns);
    f->prompt = MeasureAbort(c, t, AbortAtPrompt);
    f->data = MeasureAbort(c, t, AbortInData);
    f->held = MeasureAbort(c, t, AbortWhileHeld);
}

}  // namespace bench
