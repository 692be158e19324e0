// Test support: pseudo-terminal pairs and bounded reads and writes on them.
#include "pty_pair.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <stdexcept>

namespace {

double Now() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace

Pty::Pty() {
    char name[256];
    if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0) throw std::runtime_error("openpty failed");
    path_ = name;
    MakeRaw(slave_);
    fcntl(master_, F_SETFD, FD_CLOEXEC);
    fcntl(slave_, F_SETFD, FD_CLOEXEC);
}

Pty::~Pty() {
    close(master_);
    close(slave_);
}

void MakeRaw(int fd) {
    termios t;
    if (tcgetattr(fd, &t) != 0) return;
    cfmakeraw(&t);
    tcsetattr(fd, TCSANOW, &t);
}

bool WriteAll(int fd, const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) {
            pollfd p = {fd, POLLOUT, 0};
            poll(&p, 1, 100);
            continue;
        }
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

static std::string ReadWhile(int fd, size_t count, double quietSeconds, double maxSeconds) {
    std::string out;
    const double end = Now() + maxSeconds;
    double lastData = Now();
    while (out.size() < count) {
        double now = Now();
        if (now >= end || (quietSeconds > 0 && now - lastData >= quietSeconds)) break;
        double wait = end - now;
        if (quietSeconds > 0 && quietSeconds - (now - lastData) < wait) wait = quietSeconds - (now - lastData);
        pollfd p = {fd, POLLIN, 0};
        int r = poll(&p, 1, static_cast<int>(wait * 1000) + 1);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) continue;
        char buffer[4096];
        size_t want = count - out.size() < sizeof buffer ? count - out.size() : sizeof buffer;
        ssize_t n = read(fd, buffer, want);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        if (n <= 0) break;  // end of file or the other side hung up
        out.append(buffer, static_cast<size_t>(n));
        lastData = Now();
    }
    return out;
}

std::string ReadExactly(int fd, size_t count, double timeoutSeconds) {
    return ReadWhile(fd, count, 0, timeoutSeconds);
}

std::string ReadUntilQuiet(int fd, double quietSeconds, double maxSeconds) {
    return ReadWhile(fd, static_cast<size_t>(-1), quietSeconds, maxSeconds);
}
