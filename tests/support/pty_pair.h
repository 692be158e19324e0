// Test support: a pseudo-terminal pair that plays the serial line. The test
// is the device on the master side; the program opens the slave by path.
// The slave stays open here too, so the master never sees a hang-up when
// the program closes its side, and it starts raw so nothing is echoed.
#pragma once

#include <string>

class Pty {
public:
    Pty();
    ~Pty();
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    int master() const { return master_; }
    int slave() const { return slave_; }
    const std::string& path() const { return path_; }

private:
    int master_ = -1;
    int slave_ = -1;
    std::string path_;
};

// Puts a terminal descriptor in raw mode (no echo, no translations).
void MakeRaw(int fd);

// Writes all of data; false on error.
bool WriteAll(int fd, const std::string& data);

// Reads until `count` bytes have come or `timeoutSeconds` passed.
std::string ReadExactly(int fd, size_t count, double timeoutSeconds = 10);

// Reads until nothing has come for `quietSeconds` (or `maxSeconds` passed).
std::string ReadUntilQuiet(int fd, double quietSeconds, double maxSeconds = 10);
