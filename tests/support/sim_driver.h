// Test kit: velta-sim, the device simulator, as a real process on a
// pseudo-terminal of its own; the program under test run against it through
// the current target; and the facts about the sim's report lines that the
// cases and the benchmarks read.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "process.h"
#include "program_support.h"

// The velta-sim of this build (VELTA_SIM_PROGRAM in the environment wins).
std::string SimProgram();
// The sim on its own, for cases that read its output themselves.
std::vector<std::string> SimCommand(const std::vector<std::string>& args);

// velta-sim with args. It is up (its signal handling in place, its
// terminal's path printed, waiting for the PC: "ready:" or "waiting:") when
// this returns, or this throws; interrupted and waited for at the end if
// still running.
class Sim {
public:
    explicit Sim(const std::vector<std::string>& args, const std::string& workingDirectory = "");
    ~Sim();

    // The pseudo-terminal's slave (or the device given), as a program opens it.
    const std::string& slave() const { return slave_; }
    // The -P option that makes the program under test open it.
    std::string PortOption() const;

    bool WaitFor(const std::string& text, double timeoutSeconds = 60);
    // Waits for a report line that starts with one of leads; the line and
    // the moment it was read. Lines already waited for are not seen again.
    bool WaitForLine(const std::vector<std::string>& leads, double timeoutSeconds, std::string* line = nullptr,
                     double* when = nullptr);
    void Go();    // the operator's "go on" (SIGUSR1)
    void Stop();  // SIGTERM
    ProcessResult Finish(double timeoutSeconds = 120);
    // The end of its output so far, one line a "|", for a report of what went wrong.
    std::string Tail() const;

private:
    std::unique_ptr<Process> process_;
    std::string slave_;
    size_t scanned_ = 0;  // output already looked at by WaitForLine
};

// The PC's end of the sim's line, opened as a program opens a port: not
// blocking, what was pending discarded, the line raw; closed with the object.
class PcSide {
public:
    explicit PcSide(const Sim& sim);
    ~PcSide();
    int fd() const { return fd_; }

private:
    int fd_;
};

// Runs the program under test with args and the sim's port to its end.
ProcessResult RunVelta(const Sim& sim, const std::vector<std::string>& args, double timeoutSeconds = 120);
// Starts it with its console on a terminal, so a case can wait for a text.
std::unique_ptr<Process> StartVelta(const Sim& sim, const std::vector<std::string>& args);
// The same with a -P option of the case's own (a network port).
ProcessResult RunVeltaOn(const std::string& portOption, const std::vector<std::string>& args,
                         double timeoutSeconds = 120);
std::unique_ptr<Process> StartVeltaOn(const std::string& portOption, const std::vector<std::string>& args);
// Ctrl+C for the program under test.
void Interrupt(Process& process);

// The first line of output that starts with lead ("complete:"), without
// its end; empty when there is none.
std::string ReportLine(const std::string& output, const std::string& lead);
// The line the sim prints for data loaded complete and intact.
std::string CompleteLine(const std::string& data, uint16_t load, uint16_t run);
std::string CompleteTextLine(const std::string& text, uint16_t load = 0x2000);

// The console text of the target for a text written with "\n".
std::string Console(const std::string& text);
