// Test kit: a Wine case. VELTA.exe (or a test build beside it) runs under
// Wine in a scratch folder of its own, with the modem-line shim preloaded;
// the shim's log tells the case when DTR changed and when the program
// began a serial wait. Run through tests/wine/run.sh, which prepares the
// prefix and names the programs and shims in the environment.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "case_table.h"
#include "process.h"
#include "program_support.h"
#include "target.h"

constexpr double kWineRunTimeout = 60;
// The shim's log of a run that opened the port and closed it again.
extern const std::string kDtrOpenThenClosed;
// The shim's log once the port is open and the program waits for data.
extern const std::string kWaiting;

// A variable of the environment, empty when it is not set.
std::string Env(const char* name);

class WineCase : public ::testing::Test {
protected:
    static Target& Wine();

    // Runs VELTA.exe (or program, a test build) with args, the shims and
    // env; env comes last, so it overrides the target's own (LC_ALL=C).
    std::unique_ptr<Process> Start(const std::vector<std::string>& args, const std::vector<std::string>& env = {},
                                   const std::string& program = "");
    // Waits for the program's end: within the time-out, with the status
    // given (1, as every run that gets past its options).
    ProcessResult Finish(Process& program, int status = 1);
    ProcessResult Run(const std::vector<std::string>& args, int status, const std::vector<std::string>& env = {}) {
        return Finish(*Start(args, env), status);
    }

    std::string Path(const std::string& name) const { return dir_.Path(name); }
    std::string Read(const std::string& name) const { return ReadFile(Path(name)); }
    void Write(const std::string& name, const std::string& data) const { dir_.File(name, data); }
    bool Exists(const std::string& name) const;
    // A file beside the one the variable names (a test build beside
    // VELTA.exe); a failure of the case when there is none.
    static std::string Sibling(const char* variable, const std::string& name);

    std::string ShimLog() const { return Read("shim.log"); }
    // The DTR lines of the shim's log, in order.
    std::string DtrLog() const;
    // Polls the shim's log until it holds `events` (lines, in order, from the
    // first); false after the time-out.
    bool WaitForShim(const std::string& events, double timeoutSeconds = 30) const;

    // The environment that puts the UART shim's model of a port (uart or usb,
    // with a transmit FIFO of fifo bytes) before the modem-line shim. The
    // shim's notes go to port.log, its count of output-queue requests to asked.log.
    std::vector<std::string> PortModel(const std::string& model, int fifo = 16) const;
    // The number after prefix in the first line of the case's file (a shim's
    // or a model's notes) that starts with it, or in the last; -1 if none.
    long Recorded(const std::string& file, const std::string& prefix, bool last = false) const;

    ScratchDir dir_;
};

// A table of Wine cases, each row a Case.
template <class Case>
class WineTable : public WineCase, public ::testing::WithParamInterface<Case> {};
