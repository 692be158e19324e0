// Test support: the program under test as a real child process. Its
// standard output goes to a pipe (block-buffered by the program, read back
// whole) or to a pseudo-terminal (the program then prints at once, so a test
// can wait for a text before acting, e.g. before sending Ctrl+C).
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

struct ProcessOptions {
    bool terminal = false;               // stdout on a raw pseudo-terminal
    std::vector<std::string> env;        // NAME=value added to the environment
    std::string workingDirectory;        // empty: the test's own
};

struct ProcessResult {
    int exitCode = -1;      // exit status, or -1 when killed by a signal
    int signal = 0;         // the signal that killed it
    bool timedOut = false;  // killed by Wait after the time-out
    std::string output;     // everything written to standard output
    std::string errors;     // everything written to the error stream
};

class Process {
public:
    Process(const std::vector<std::string>& argv, const ProcessOptions& options = {});
    ~Process();
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    pid_t pid() const { return pid_; }
    void Signal(int sig);

    // Reads output until `text` has appeared; false after the time-out.
    bool WaitForOutput(const std::string& text, double timeoutSeconds = 20);

    // Waits for the exit, collecting output; kills it after the time-out.
    ProcessResult Wait(double timeoutSeconds = 60);

private:
    void Drain(int timeoutMs);

    pid_t pid_ = -1;
    int outFd_ = -1;
    int errFd_ = -1;  // the error stream: always a pipe of its own
    bool reaped_ = false;
    ProcessResult result_;
};

// Starts argv and waits for it: the common case.
// Standard output and the error stream are collected apart, so a test can
// check that a diagnostic left standard output byte for byte as it was.
ProcessResult RunProcess(const std::vector<std::string>& argv, const ProcessOptions& options = {},
                         double timeoutSeconds = 60);
