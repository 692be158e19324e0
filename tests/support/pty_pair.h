// Test kit: a pseudo-terminal pair that plays the serial line. The test
// (or the benchmark) is the device on the master side; the program opens
// the slave by path. The slave stays open here too, so the master never
// sees a hang-up when the program closes its side, and it starts raw so
// nothing is echoed.
#pragma once

#include <functional>
#include <string>
#include <thread>

class Pty {
public:
    Pty();
    ~Pty();
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    int master() const { return master_; }
    int slave() const { return slave_; }
    const std::string& path() const { return path_; }
    // The device goes away: the program's side sees a hang-up. Afterwards
    // master() is -1 and nothing is closed twice.
    void CloseMaster();

private:
    int master_ = -1;
    int slave_ = -1;
    std::string path_;
};

// Joins two descriptors (the masters of two pseudo-terminals), so that
// programs on the two slaves talk to each other with a terminal each, and
// the test can put a device behind a port and take it away again. Never
// blocks: a side that takes nothing more only stops what flows towards it.
// The descriptors are non-blocking while joined.
class Relay {
public:
    Relay(int a, int b);
    ~Relay();
    Relay(const Relay&) = delete;
    Relay& operator=(const Relay&) = delete;

private:
    void Run();
    int fds_[2];
    int stop_[2] = {-1, -1};
    std::thread thread_;
};

// Puts a terminal descriptor in raw mode (no echo, no translations).
void MakeRaw(int fd);
void SetNonblocking(int fd, bool on = true);

// Writes all of data, waiting while the descriptor takes no more; false on
// error, after timeoutSeconds, or once readerGone (if given) says that no one
// will take more.
bool WriteAll(int fd, const std::string& data, double timeoutSeconds = 1e9,
              const std::function<bool()>& readerGone = nullptr);

// Reads until `count` bytes have come or `timeoutSeconds` passed.
std::string ReadExactly(int fd, size_t count, double timeoutSeconds = 10);

// Reads until nothing has come for `quietSeconds` (or `maxSeconds` passed).
std::string ReadUntilQuiet(int fd, double quietSeconds, double maxSeconds = 10);
