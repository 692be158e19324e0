// Test kit: a program under test, the simulator or a tool as a real child
// process. Its standard output goes to a pipe (block-buffered by the
// program, read back whole), to a pseudo-terminal (the program then prints
// at once, so a test can wait for a text before acting, e.g. before sending
// Ctrl+C) or to a descriptor the caller hands over; the error stream is
// collected apart. The exit is watched through a pidfd, so the moment it
// ends is seen at once (the benchmarks time it), with the processor time.
#pragma once

#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

struct ProcessOptions {
    bool terminal = false;               // stdout on a raw pseudo-terminal
    std::vector<std::string> env;        // NAME=value added to the environment
    std::string workingDirectory;        // empty: the caller's own
    int stdinFd = -1;                    // -1: /dev/null
    int stdoutFd = -1;                   // -1: collected (pipe, or terminal as above)
    bool ownProcessGroup = false;        // a Ctrl+C at the caller's terminal does not reach it
    bool console = false;                // all three streams on a terminal (24 x 80) that is its
                                         // controlling terminal, as for an interactive program
};

struct ProcessResult {
    int exitCode = -1;      // exit status, or -1 when killed by a signal
    int signal = 0;         // the signal that killed it
    bool timedOut = false;  // killed by Wait after the time-out
    std::string output;     // everything written to standard output
    std::string errors;     // everything written to the error stream
};

// Monotonic seconds, the clock of every time-out and time here.
double Now();

class Process {
public:
    Process(const std::vector<std::string>& argv, const ProcessOptions& options = {});
    ~Process();  // kills it if it is still running
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    pid_t pid() const { return pid_; }
    void Signal(int sig);

    // Reads until `text` has appeared on standard output (or the error
    // stream); false after the time-out.
    bool WaitForOutput(const std::string& text, double timeoutSeconds = 20);
    bool WaitForErrors(const std::string& text, double timeoutSeconds = 20);
    // Until it sleeps in the kernel (in a wait, or in a write that blocks).
    bool WaitUntilAsleep(double timeoutSeconds = 10) { return WaitForState('S', timeoutSeconds); }
    // Until its state in /proc is `state` ('S' asleep, 'T' stopped by SIGSTOP).
    bool WaitForState(char state, double timeoutSeconds = 10);
    // Reads one helping of output (up to timeoutSeconds); false when none came.
    bool ReadSome(double timeoutSeconds);
    // Keys typed on its console (ProcessOptions::console).
    bool Type(const std::string& keys);

    // True once it has ended (within timeoutSeconds); it is left running otherwise.
    bool Ended(double timeoutSeconds = 0);
    // Waits for the exit, collecting output; kills it after the time-out.
    ProcessResult Wait(double timeoutSeconds = 60);

    const std::string& output() const { return result_.output; }
    const std::string& errors() const { return result_.errors; }
    // When each piece of standard output came: its end offset and the moment.
    const std::vector<std::pair<size_t, double>>& outputTimes() const { return outputTimes_; }
    double startTime() const { return start_; }
    double endTime() const { return end_; }
    double cpuSeconds() const { return cpu_; }  // user + system, once ended
    int exitCode() const { return result_.exitCode; }  // -1 while running or for a signal
    std::string Status() const;                 // "status N", "signal N" or "running"

private:
    bool Poll(double timeoutSeconds);  // reads what is there; reaps on exit
    bool WaitFor(const std::string& text, bool onErrors, double timeoutSeconds);

    pid_t pid_ = -1;
    int pidFd_ = -1;
    int outFd_ = -1;  // -1 when standard output went to the caller's descriptor
    int errFd_ = -1;
    bool reaped_ = false;
    double start_ = 0, end_ = 0, cpu_ = 0;
    ProcessResult result_;
    std::vector<std::pair<size_t, double>> outputTimes_;
};

// Starts argv and waits for it: the common case.
ProcessResult RunProcess(const std::vector<std::string>& argv, const ProcessOptions& options = {},
                         double timeoutSeconds = 60);

// The arguments of a, then those of b: a command line with a case's own.
std::vector<std::string> Joined(std::vector<std::string> a, const std::vector<std::string>& b);
