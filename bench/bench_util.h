// velta-bench: the tools of measurement. Child processes with their exit
// time and resource use, pseudo-terminals, the processor time of a process
// we did not start, and the files and headers the runs move.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace bench {

// Monotonic seconds.
double Now();
void SleepSeconds(double seconds);

struct Stdio {
    int in = -1;   // -1: /dev/null
    int out = -1;  // -1: /dev/null
    int err = -1;  // -1: /dev/null
};

struct ChildOptions {
    Stdio stdio;
    std::vector<std::string> env;  // NAME=value, added to ours
    std::string cwd;
};

// A child process. Its exit is waited for through a pidfd, so the moment of
// exit is seen at once and not at the next poll of a loop.
class Child {
public:
    Child(const std::vector<std::string>& argv, const ChildOptions& options);
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    pid_t Pid() const { return pid_; }
    double StartTime() const { return start_; }
    void Signal(int sig) const;
    // True once the child has ended (within timeout seconds); then reaped.
    bool Wait(double timeout);
    bool Ended() const { return reaped_; }
    double EndTime() const { return end_; }
    int ExitCode() const;  // -1 for a signal
    std::string Status() const;  // "status N" or "signal N"
    double CpuSeconds() const { return user_ + system_; }
    double UserSeconds() const { return user_; }
    double SystemSeconds() const { return system_; }

private:
    pid_t pid_ = -1;
    int pidfd_ = -1;
    double start_ = 0;
    double end_ = 0;
    bool reaped_ = false;
    int status_ = 0;
    double user_ = 0;
    double system_ = 0;
};

// Lines of a child's standard output, each with the moment it was read.
class LineReader {
public:
    explicit LineReader(int fd) : fd_(fd) {}
    // Waits for a line starting with one of prefixes; false at time-out or
    // end of output.
    bool WaitFor(const std::vector<std::string>& prefixes, double timeout, std::string* line = nullptr,
                 double* when = nullptr);
    const std::string& All() const { return all_; }

private:
    bool ReadSome(double timeout);

    int fd_;
    std::string pending_;
    std::string all_;
    std::vector<std::pair<double, std::string>> lines_;
    size_t next_ = 0;
};

// A pseudo-terminal of our own: the slave is kept open so that the master
// never sees a hang-up between the programs that open the slave.
struct Pty {
    Pty();
    ~Pty();
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;
    int master = -1;
    int slave = -1;
    std::string path;
};

// Joins the masters of two pseudo-terminals, so that programs on the two
// slaves talk to each other with a terminal each: a program that sets up its
// terminal then never changes the other's, as it would on one shared pair.
class Relay {
public:
    Relay(int masterA, int masterB);
    ~Relay();
    Relay(const Relay&) = delete;
    Relay& operator=(const Relay&) = delete;

private:
    void Run();
    int a_, b_;
    int stop_[2] = {-1, -1};
    std::thread thread_;
};

void MakeRaw(int fd);
void SetNonblocking(int fd);
// Packet mode on the master shows when the other side flushes (opens) the line.
void EnablePacketMode(int master);
bool WaitForFlush(int master, double timeout);

// Reads n bytes from a non-blocking fd as fast as they come, noting the
// moment the last one came; false at time-out, at failure, or once
// writerGone (if given) says nothing more can come.
bool ReadExactly(int fd, size_t n, double timeout, std::vector<uint8_t>* got, double* last,
                 const std::function<bool()>& writerGone = nullptr);
// Writes everything to a non-blocking fd as fast as it is taken; false at
// time-out, at failure, or once readerGone (if given) says no one takes more.
bool WriteAll(int fd, const std::vector<uint8_t>& data, double timeout,
              const std::function<bool()>& readerGone = nullptr);

// Processor seconds (user + system) the live threads of a running process
// have used so far.
double ProcessCpuSeconds(pid_t pid);
// What the cheapest system call costs here, in microseconds.
double SystemCallMicroseconds();
// True while the process sleeps in poll or ppoll.
bool BlockedInPoll(pid_t pid);

std::vector<uint8_t> PseudoRandomBytes(size_t n, uint32_t seed);
// The 16-byte transfer header: magic, 24-bit total size, load and run address.
std::vector<uint8_t> TransferHeader(uint32_t totalSize, uint16_t load, uint16_t run);
bool WriteFile(const std::string& path, const std::vector<uint8_t>& data);
bool ReadFile(const std::string& path, std::vector<uint8_t>* data);
long FileSize(const std::string& path);

std::string FirstLineOf(const std::string& path);
std::string CommandOutput(const std::string& command);

}  // namespace bench
