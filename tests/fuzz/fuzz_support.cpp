// Fuzzing: the shared helpers.
#include "fuzz_support.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

int reportFd = 2;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    reportFd = dup(STDERR_FILENO);
    std::fflush(stdout);
    const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null >= 0) {
        dup2(null, STDOUT_FILENO);
        close(null);
    }
    if (SetUpTarget) SetUpTarget();
    return 0;
}

MemoryFile::MemoryFile(const std::string& content) : fd_(memfd_create("velta-fuzz", MFD_CLOEXEC)) {
    FUZZ_EXPECT(fd_ >= 0, "memfd_create");
    FUZZ_EXPECT(pwrite(fd_, content.data(), content.size(), 0) == static_cast<ssize_t>(content.size()), "pwrite");
}

MemoryFile::~MemoryFile() { close(fd_); }

FILE* MemoryFile::Open(const char* mode) {
    FILE* file = fdopen(dup(fd_), mode);
    FUZZ_EXPECT(file != nullptr, "fdopen");
    return file;
}

std::string MemoryFile::Content() const {
    std::string content;
    char chunk[65536];
    for (off_t at = 0;;) {
        const ssize_t n = pread(fd_, chunk, sizeof chunk, at);
        if (n <= 0) break;
        content.append(chunk, static_cast<size_t>(n));
        at += n;
    }
    return content;
}
