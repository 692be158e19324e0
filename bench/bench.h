// velta-bench: what is measured and what the measurements hold, shared by
// the benchmarks (paced.cpp: 1, 2 and 5; unpaced.cpp: 3; abort_latency.cpp:
// 4), the table (report.cpp) and the program (velta_bench.cpp).
#pragma once

#include <sys/types.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "bench_util.h"
#include "process.h"
#include "program_support.h"
#include "pty_pair.h"
#include "sim_driver.h"

namespace bench {

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

std::string Path(const Config& c, const std::string& name);
// A child of ours runs in the work folder, in a process group of its own:
// a Ctrl+C at the bench's terminal is not the signal being measured.
ProcessOptions InWork(const Config& c);

// What runs as "velta": the native program, or VELTA.exe under Wine on a
// COM port that is a link to the pseudo-terminal of the run.
struct Subject {
    std::string name;
    std::vector<std::string> launcher;
    std::vector<std::string> env;
    std::vector<std::string> preload;  // LD_PRELOAD, in this order
    bool wine = false;
    std::string shimLog;
    std::string portLog;  // the port shim's notes, when one is preloaded
    pid_t server = 0;

    bool IsWine() const { return wine; }
    std::string PortOption(const std::string& slave) const;
    double ServerCpu() const { return server ? ProcessCpuSeconds(server) : 0; }
};

// The same subject with a modelled port on its pseudo-terminal (see
// tests/shims/uart_shim.c): a UART's output queue ("uart"), the queue of a
// USB adapter ("usb"), or the same transfers counted as cdc-acm counts them,
// whole write buffers ("acm"). The shim notes in portLog the most bytes that
// were on their way at once.
Subject WithPortModel(const Config& c, Subject t, const std::string& model);

// Starts the subject with its console in a file of the work folder.
std::unique_ptr<Process> StartSubject(const Config& c, const Subject& t, const std::vector<std::string>& args);
// The end of what the program printed, for a report of what went wrong.
std::string ConsoleTail(const Config& c, const Subject& t);

void Note(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The moment the program sits in its wait: for velta, blocked in poll twice
// in a row; under Wine, the shim has seen the serial wait set up.
bool WaitUntilWaiting(const Subject& t, const Process& velta, double timeout);

// 1, 2 and 5: paced by the simulator.
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

// 3: unpaced, the other end of the pseudo-terminal as fast as it can.
struct Unpaced {
    bool ok = false;
    std::string why;
    double seconds = 0;
    double cpu = 0;
    double BytesPerSecond() const { return seconds > 0 ? (kUnpacedSize + kHeaderSize) / seconds : 0; }
    double CpuPerMiB() const { return cpu * (1024.0 * 1024.0) / (kUnpacedSize + kHeaderSize); }
};

struct UnpacedRow {
    const char* label;
    Unpaced u;
};

// 4: SIGINT to exit.
struct Latency {
    std::vector<double> seconds;
    std::string why;  // the first failure, if any
    double Median() const;
    double Max() const;
};

// Everything measured for one subject.
struct SubjectFigures {
    Subject target;
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

// 5: a send on modelled real ports.
struct PortRow {
    unsigned rate = 0;
    size_t size = 0;
    Paced uart, usb, acm, alone;
};

struct PortFigures {
    std::string name;  // "native", or "Wine" for VELTA.exe
    std::vector<PortRow> rows;
    Paced uartXon, usbXon, acmXon;  // -F2 at 38400 bit/s
};

// The measurements.
Paced StartAndExit(const Config& c, const Subject& t);
void MeasurePaced(const Config& c, const Subject& t, SubjectFigures* out);
// size: the bytes of each send; 0 for about 2 s on the line at each rate.
PortFigures MeasurePorts(const Config& c, const Subject& t, size_t size = 0);
void MeasureUnpaced(const Config& c, std::vector<UnpacedRow>* send, std::vector<UnpacedRow>* receive);
void MeasureAborts(const Config& c, const Subject& t, SubjectFigures* out);

// The table.
std::string LoadAverage();
void PrintMachine(const std::string& loadBefore);
void PrintProcessorUse(const std::vector<SubjectFigures>& all);
void PrintEfficiency(const SubjectFigures& f);
void PrintUnpaced(const std::vector<UnpacedRow>& send, const std::vector<UnpacedRow>& receive);
void PrintAbort(const std::vector<SubjectFigures>& all);
void PrintPorts(const PortFigures& f);

}  // namespace bench
