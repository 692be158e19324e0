// velta-bench: the table of figures, with the machine they were taken on.
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <string>
#include <vector>

#include "bench.h"

namespace bench {

namespace {

std::string Percent(const Paced& p, bool withServer = false) {
    if (!p.ok) return p.why.empty() ? "-" : "failed";
    if (withServer || p.runs < 2) return Format("%.2f %%", 100 * (withServer ? p.ShareWithServer() : p.Share()));
    return Format("%.2f %% (%.2f-%.2f)", 100 * p.Share(), 100 * p.shareMin, 100 * p.shareMax);
}

std::string Seconds(const Paced& p) { return p.ok ? Format("%.3f s", p.wall) : "failed"; }

std::string Excess(const Paced& p, double reference) {
    return p.ok && reference > 0 ? Format("%+.2f %%", 100 * (p.wall / reference - 1)) : "-";
}

std::string Milliseconds(const Latency& l) {
    if (l.seconds.empty()) return "failed";
    std::string s = Format("%6.1f / %6.1f", 1000 * l.Median(), 1000 * l.Max());
    if (l.seconds.size() < kAbortRuns) s += " (" + std::to_string(l.seconds.size()) + " runs)";
    return s;
}

std::string CpuModel() {
    std::ifstream in("/proc/cpuinfo");
    for (std::string line; std::getline(in, line);)
        if (line.rfind("model name", 0) == 0) return line.substr(line.find(':') + 2);
    return "unknown";
}

}  // namespace

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

static void PrintRow(const char* label, const std::vector<std::string>& cells) {
    std::printf("  %-40s", label);
    for (const std::string& cell : cells) std::printf(" %20s", cell.c_str());
    std::printf("\n");
}

// The subjects' names over their columns; with servers, a column for each
// Wine subject with its server's processor time added.
static void PrintHead(const std::vector<SubjectFigures>& all, bool servers) {
    std::vector<std::string> head;
    for (const auto& f : all) {
        head.push_back(f.target.name);
        if (servers && f.target.IsWine()) head.push_back(f.target.name + "+server");
    }
    PrintRow("", head);
}

void PrintProcessorUse(const std::vector<SubjectFigures>& all) {
    std::printf("\n1. Processor use while the line paces: user+system seconds / wall seconds, 16 KiB at 38400 bit/s "
                "(goal < 2 %%)\n");
    PrintHead(all, true);
    const std::pair<const char*, Paced SubjectFigures::*> rows[] = {
        {"send, paced by the line rate (-F0)", &SubjectFigures::send38},
        {"send, held back by XON/XOFF (-F2)", &SubjectFigures::sendXon},
        {"send -F0, emulated UART output queue", &SubjectFigures::sendUart},
        {"send -F0, USB adapter model", &SubjectFigures::sendUsb},
        {"receive, paced by the line rate (-F0)", &SubjectFigures::receive38},
        {"  the same, 8 bytes per arrival", &SubjectFigures::receive38by8},
        {"  the same, 1 byte per arrival", &SubjectFigures::receive38by1},
        {"receive, with XON/XOFF (-F2)", &SubjectFigures::receiveXon},
        {"waiting at the reception prompt (2 s)", &SubjectFigures::idle},
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
        startCells.push_back(Format("%.3f s CPU", f.startExit.cpu));
        if (f.target.IsWine()) startCells.push_back(Format("%.3f s CPU", f.startExit.cpu + f.startExit.serverCpu));
    }
    PrintRow("(of which start-up and exit alone)", startCells);
    for (const auto& f : all)
        for (const Paced* p : {&f.send38, &f.sendXon, &f.sendUart, &f.sendUsb, &f.receive38, &f.receive38by8,
                               &f.receive38by1, &f.receiveXon, &f.idle})
            if (!p->ok && !p->why.empty()) std::printf("  %s: %s\n", f.target.name.c_str(), p->why.c_str());
}

void PrintEfficiency(const SubjectFigures& f) {
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

static void PrintUnpacedGroup(const char* title, const std::vector<UnpacedRow>& rows) {
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

void PrintAbort(const std::vector<SubjectFigures>& all) {
    std::printf("\n4. Abort latency, SIGINT to process exit, median / max in ms over %d runs (goal < 50 ms)\n",
                kAbortRuns);
    PrintHead(all, false);
    const std::pair<const char*, Latency SubjectFigures::*> rows[] = {
        {"at the reception prompt", &SubjectFigures::prompt},
        {"in received data (38400 bit/s)", &SubjectFigures::data},
        {"while XOFF holds the sender", &SubjectFigures::held},
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

static std::string Efficiency(const Paced& p) { return p.ok ? Format("%.1f %%", 100 * p.ideal / p.wall) : "failed"; }

void PrintPorts(const PortFigures& f) {
    std::printf("\n5%s. Send on a modelled UART (16-byte FIFO), USB adapter (1 ms frames) and cdc-acm board (the same\n"
                "   frames, a queue that counts whole write buffers), %s, -F0: line efficiency (ideal / wall\n"
                "   time, goal >= 95 %% on the USB models), processor share%s, most bytes on their way\n",
                f.name == "native" ? "" : "b", f.name == "native" ? "native" : "VELTA.exe under Wine",
                f.name == "native" ? "" : " with the Wine server");
    std::printf("  %-22s %8s %8s %8s %9s %8s %8s %8s %6s %6s %6s\n", "", "UART", "USB", "cdc-acm", "sim alone",
                "UART CPU", "USB CPU", "acm CPU", "UART", "USB", "acm");
    for (const PortRow& r : f.rows) {
        const std::string label = Format("%zu KiB at %u bit/s", r.size / 1024, r.rate);
        std::printf("  %-22s %8s %8s %8s %9s %8s %8s %8s %6ld %6ld %6ld\n", label.c_str(), Efficiency(r.uart).c_str(),
                    Efficiency(r.usb).c_str(), Efficiency(r.acm).c_str(), Efficiency(r.alone).c_str(),
                    Percent(r.uart, true).c_str(), Percent(r.usb, true).c_str(), Percent(r.acm, true).c_str(),
                    r.uart.largest, r.usb.largest, r.acm.largest);
        for (const Paced* p : {&r.uart, &r.usb, &r.acm, &r.alone})
            if (!p->ok) std::printf("    %s\n", p->why.c_str());
    }
    std::printf("  -F2 at 38400 bit/s, the most bytes on their way at once (what the device may still get after\n"
                "  its XOFF): UART %ld, USB %ld, cdc-acm %ld; line efficiency UART %s, USB %s, cdc-acm %s\n",
                f.uartXon.largest, f.usbXon.largest, f.acmXon.largest, Efficiency(f.uartXon).c_str(),
                Efficiency(f.usbXon).c_str(), Efficiency(f.acmXon).c_str());
    for (const Paced* p : {&f.uartXon, &f.usbXon, &f.acmXon})
        if (!p->ok) std::printf("    %s\n", p->why.c_str());
}

}  // namespace bench
