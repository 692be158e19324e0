// velta-bench: the tools of measurement (see bench_util.h).
#include "bench_util.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <fstream>

#include "process.h"
#include "program_support.h"

namespace bench {

OutputFile::OutputFile(const std::string& path)
    : fd(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644)) {}

OutputFile::~OutputFile() {
    if (fd >= 0) close(fd);
}

void EnablePacketMode(int master) {
    int on = 1;
    ioctl(master, TIOCPKT, &on);
}

bool WaitForFlush(int master, double timeout) {
    const double deadline = Now() + timeout;
    for (;;) {
        double left = deadline - Now();
        pollfd p = {master, POLLIN, 0};
        if (left <= 0 || poll(&p, 1, static_cast<int>(left * 1000) + 1) <= 0) return false;
        uint8_t buffer[4097];
        ssize_t n = read(master, buffer, sizeof buffer);
        if (n > 0 && buffer[0] != TIOCPKT_DATA && (buffer[0] & (TIOCPKT_FLUSHREAD | TIOCPKT_FLUSHWRITE)))
            return true;
    }
}

// Reads n bytes from fd as fast as they come; the moment of the last one.
bool ReadTimed(int fd, size_t n, double timeout, std::string* got, double* last,
               const std::function<bool()>& writerGone) {
    const double deadline = Now() + timeout;
    std::vector<char> buffer(65536);
    bool lastLook = false;
    while (got->size() < n) {
        ssize_t r = read(fd, buffer.data(), std::min(buffer.size(), n - got->size()));
        if (r > 0) {
            got->append(buffer.data(), static_cast<size_t>(r));
            *last = Now();
            continue;
        }
        if (r < 0 && errno != EAGAIN && errno != EINTR) return false;
        // Once the writer has gone, one more look takes what it left.
        if (lastLook) return false;
        if (writerGone && writerGone()) lastLook = true;
        double left = deadline - Now();
        pollfd p = {fd, POLLIN, 0};
        if (left <= 0) return false;
        poll(&p, 1, static_cast<int>(std::min(left, 0.1) * 1000) + 1);
    }
    return true;
}

double ProcessCpuSeconds(pid_t pid) {
    // schedstat holds each thread's time on the processor in nanoseconds,
    // not in ticks; threads that have ended are not counted.
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    unsigned long long total = 0;
    DIR* dir = opendir(tasks.c_str());
    if (!dir) return 0;
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        std::ifstream in(tasks + "/" + entry->d_name + "/schedstat");
        unsigned long long ns = 0;
        if (in >> ns) total += ns;
    }
    closedir(dir);
    return static_cast<double>(total) / 1e9;
}

double SystemCallMicroseconds() {
    constexpr int kCalls = 200000;
    const double start = Now();
    for (int i = 0; i < kCalls; ++i) syscall(SYS_getppid);
    return (Now() - start) / kCalls * 1e6;
}

bool BlockedInPoll(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/syscall");
    long number = -1;
    in >> number;
    return number == SYS_poll || number == SYS_ppoll;
}

long FileSize(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? static_cast<long>(st.st_size) : -1;
}

std::string FirstLineOf(const std::string& path) {
    const std::string text = ReadFile(path);
    return text.substr(0, text.find('\n'));
}

std::string CommandOutput(const std::string& command) {
    std::string out = RunProcess({"sh", "-c", command}).output;
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
    return out;
}

}  // namespace bench
