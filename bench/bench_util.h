// velta-bench: the tools of measurement beside the test kit's processes and
// pseudo-terminals: timed reads and writes on a non-blocking terminal, the
// processor time of a process we did not start, and facts of the machine.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>

namespace bench {

inline void SleepSeconds(double seconds) { std::this_thread::sleep_for(std::chrono::duration<double>(seconds)); }

// Opened for a child's standard output; closed with the object.
struct OutputFile {
    explicit OutputFile(const std::string& path);
    ~OutputFile();
    int fd;
};

// Packet mode on the master shows when the other side flushes (opens) the line.
void EnablePacketMode(int master);
bool WaitForFlush(int master, double timeout);

// Reads n bytes from a non-blocking fd as fast as they come, noting the
// moment the last one came; false at time-out, at failure, or once
// writerGone (if given) says nothing more can come.
bool ReadTimed(int fd, size_t n, double timeout, std::string* got, double* last,
               const std::function<bool()>& writerGone = nullptr);

// Processor seconds (user + system) the live threads of a running process
// have used so far.
double ProcessCpuSeconds(pid_t pid);
// What the cheapest system call costs here, in microseconds.
double SystemCallMicroseconds();
// True while the process sleeps in poll or ppoll.
bool BlockedInPoll(pid_t pid);

long FileSize(const std::string& path);
std::string FirstLineOf(const std::string& path);
std::string CommandOutput(const std::string& command);

}  // namespace bench
