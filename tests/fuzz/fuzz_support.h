// Fuzzing: what the targets share. A finding is an abort with the reason on
// the error stream, which libFuzzer reports as a crash and saves the input.
#pragma once

#include <stdio.h>

#include <cstdio>
#include <cstdlib>
#include <string>

// The error stream as it was at start-up: libFuzzer's -close_fd_mask=2
// closes the target's own, so that the program's warnings do not flood the
// run, and a finding's reason must still be seen.
extern int reportFd;

// Aborts with a reason unless the product and the model agree.
#define FUZZ_EXPECT(condition, ...)                                                      \
    do {                                                                                 \
        if (!(condition)) {                                                              \
            dprintf(reportFd, "fuzz: %s:%d: %s: ", __FILE__, __LINE__, #condition);      \
            dprintf(reportFd, __VA_ARGS__);                                              \
            dprintf(reportFd, "\n");                                                     \
            std::abort();                                                                \
        }                                                                                \
    } while (0)

// libFuzzer's start-up (fuzz_support.cpp) keeps the error stream for
// reasons and sends standard output (the program's console, of no interest
// here and slow) nowhere; then it calls this, where a target defines it.
void SetUpTarget() __attribute__((weak));

// A file in memory: a regular file, as the driver would open one.
class MemoryFile {
public:
    explicit MemoryFile(const std::string& content = "");
    ~MemoryFile();
    MemoryFile(const MemoryFile&) = delete;
    MemoryFile& operator=(const MemoryFile&) = delete;
    // A stream on it, as the driver opens the file to send or to receive into.
    FILE* Open(const char* mode);
    std::string Content() const;
    int Descriptor() const { return fd_; }

private:
    int fd_;
};
