// End-to-end support: velta-sim as a real process on a pseudo-terminal of
// its own, the program under test run against it through the current
// target, and the few facts about the sim's report lines that the cases read.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "process.h"
#include "program_support.h"

// velta-sim with args, its pseudo-terminal linked into dir. It is up (its
// signal handling in place, its first line printed) when this returns.
class Sim {
public:
    Sim(const ScratchDir& dir, const std::vector<std::string>& args);

    // The pseudo-terminal's slave, as the program is to open it.
    const std::string& slave() const { return slave_; }
    // The -P option that makes the program under test open it.
    std::string PortOption() const;

    bool WaitFor(const std::string& text, double timeoutSeconds = 60);
    void Go();  // the operator's "go on" (SIGUSR1)
    void Stop();  // SIGTERM
    ProcessResult Finish(double timeoutSeconds = 120);

private:
    std::unique_ptr<Process> process_;
    std::string slave_;
};

// The sim on its own, for cases without the program under test.
std::vector<std::string> SimCommand(const std::vector<std::string>& args);

// Runs the program under test with args and the sim's port to its end.
ProcessResult RunVelta(const Sim& sim, const std::vector<std::string>& args, double timeoutSeconds = 120);
// Starts it with its console on a terminal, so a case can wait for a text.
std::unique_ptr<Process> StartVelta(const Sim& sim, const std::vector<std::string>& args);
// Ctrl+C for the program under test.
void Interrupt(Process& process);

// The first line of output that starts with lead ("complete:"), without
// its end; empty when there is none.
std::string ReportLine(const std::string& output, const std::string& lead);
// The line the sim prints for data loaded complete and intact.
std::string CompleteLine(const std::string& data, uint16_t load, uint16_t run);
std::string CompleteTextLine(const std::string& text, uint16_t load = 0x2000);
uint32_t Crc(const std::string& data);

// A transfer header as the device expects it, built here independently.
std::string HeaderFor(uint32_t totalSize, uint16_t load, uint16_t run = 0);

// The console text of the target for a text written with "\n".
std::string Console(const std::string& text);
bool Contains(const std::string& haystack, const std::string& needle);
