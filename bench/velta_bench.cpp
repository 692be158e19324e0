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
// a abort latency (4), r a send on modelled real ports (5; also for VELTA.exe
// under Wine, with 16 KiB sends, when one is given); all by default.
//
// With --wine-exe, WINEPREFIX must name a prepared prefix whose server runs
// as --wine-server-pid (its processor time is counted beside the program's).
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <map>
#include <string>
#include <vector>

#include "bench.h"
#include "target_wine.h"

namespace bench {

std::string Path(const Config& c, const std::string& name) { return c.work + "/" + name; }

ProcessOptions InWork(const Config& c) {
    ProcessOptions options;
    options.workingDirectory = c.work;
    options.ownProcessGroup = true;
    return options;
}

std::string Subject::PortOption(const std::string& slave) const {
    if (!IsWine()) return "-P" + slave;
    LinkWinePort(kWinePort, slave);
    return "-P" + std::to_string(kWinePort);
}

Subject WithPortModel(const Config& c, Subject t, const std::string& model) {
    t.preload.push_back(c.uartShim);
    t.portLog = c.work + "/port-" + t.name + ".log";
    t.env.insert(t.env.end(), {"VELTA_UART_LOG=" + t.portLog, "VELTA_UART_MODEL=" + model});
    return t;
}

static std::string ConsolePath(const Config& c, const Subject& t) {
    return Path(c, "console-" + t.name + ".txt");
}

std::string ConsoleTail(const Config& c, const Subject& t) {
    const std::string text = ReadFile(ConsolePath(c, t));
    std::string tail;
    for (size_t i = text.size() > 60 ? text.size() - 60 : 0; i < text.size(); ++i) {
        char escaped[8];
        const unsigned char byte = static_cast<unsigned char>(text[i]);
        std::snprintf(escaped, sizeof escaped, byte >= 0x20 && byte < 0x7F ? "%c" : "\\x%02X", byte);
        tail += escaped;
    }
    return tail;
}

std::unique_ptr<Process> StartSubject(const Config& c, const Subject& t, const std::vector<std::string>& args) {
    OutputFile console(ConsolePath(c, t));
    ProcessOptions options = InWork(c);
    options.stdoutFd = console.fd;
    options.env = t.env;
    if (!t.preload.empty()) {
        std::string list;
        for (const std::string& library : t.preload) list += (list.empty() ? "" : " ") + library;
        options.env.push_back("LD_PRELOAD=" + list);
    }
    return std::make_unique<Process>(Joined(t.launcher, args), options);
}

void Note(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::fprintf(stderr, "bench: ");
    std::vfprintf(stderr, format, args);
    std::fprintf(stderr, "\n");
    va_end(args);
}

namespace {

SubjectFigures MeasureSubject(const Config& c, const Subject& t) {
    SubjectFigures f;
    f.target = t;
    Note("%s: start-up and exit", t.name.c_str());
    f.startExit = StartAndExit(c, t);
    if (c.Wants('p')) MeasurePaced(c, t, &f);
    if (c.Wants('a')) MeasureAborts(c, t, &f);
    return f;
}

bool ParseArguments(int argc, char** argv, Config* c) {
    std::string repeats, server;
    const std::map<std::string, std::string*> options = {
        {"--velta", &c->velta},         {"--sim", &c->sim},           {"--work", &c->work},
        {"--wine-exe", &c->wineExe},    {"--wine-shim", &c->wineShim}, {"--parts", &c->parts},
        {"--uart-shim", &c->uartShim}, {"--repeats", &repeats},       {"--wine-server-pid", &server}};
    for (int i = 1; i + 1 < argc; i += 2) {
        const auto option = options.find(argv[i]);
        if (option == options.end()) return false;
        *option->second = argv[i + 1];
    }
    if (!repeats.empty()) c->repeats = std::atoi(repeats.c_str());
    c->wineServer = static_cast<pid_t>(std::atoi(server.c_str()));
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

Subject NativeSubject(const Config& c) {
    Subject t;
    t.name = "native";
    t.launcher = {c.velta};
    return t;
}

Subject WineSubject(const Config& c) {
    Subject t;
    t.name = "Wine";
    t.launcher = {"wine", c.wineExe};
    t.wine = true;
    t.shimLog = Path(c, "shim.log");
    t.server = c.wineServer;
    t.env = {"WINEDEBUG=-all", "VELTA_SHIM_LOG=" + t.shimLog, "LC_ALL=C"};
    t.preload = {c.wineShim};
    return t;
}

}  // namespace

}  // namespace bench

using namespace bench;

// Measures what the configuration asks for and prints the table.
static int MeasureAndPrint(const Config& c) {
    const std::string loadBefore = LoadAverage();
    WriteFile(Path(c, "long.bin"), Pattern(64 * 1024, 4));
    std::vector<SubjectFigures> all;
    all.push_back(MeasureSubject(c, NativeSubject(c)));
    PortFigures ports;
    if (c.Wants('r')) ports = MeasurePorts(c, NativeSubject(c));
    std::vector<UnpacedRow> send, receive;
    if (c.Wants('u')) MeasureUnpaced(c, &send, &receive);
    if (!c.wineExe.empty()) all.push_back(MeasureSubject(c, WineSubject(c)));
    // VELTA.exe on the same models, with the 16 KiB sends of figure 1.
    PortFigures winePorts;
    if (c.Wants('r') && !c.wineExe.empty()) winePorts = MeasurePorts(c, WineSubject(c), kPacedSize);

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
    if (c.Wants('r') && !c.wineExe.empty()) PrintPorts(winePorts);
    return 0;
}

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
    setenv("VELTA_SIM_PROGRAM", c.sim.c_str(), 1);
    try {
        return MeasureAndPrint(c);
    } catch (const std::exception& e) {  // a simulator that does not start, a pty that cannot be had
        std::fprintf(stderr, "bench: %s\n", e.what());
        return 1;
    }
}
