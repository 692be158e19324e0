// Test kit: pseudo-terminal pairs, the relay between two, and bounded
// reads and writes on them.
#include "pty_pair.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

#include "process.h"

Pty::Pty() {
    char name[256];
    if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0) throw std::runtime_error("openpty failed");
    path_ = name;
    MakeRaw(slave_);
    fcntl(master_, F_SETFD, FD_CLOEXEC);
    fcntl(slave_, F_SETFD, FD_CLOEXEC);
}

Pty::~Pty() {
    CloseMaster();
    close(slave_);
}

void Pty::CloseMaster() {
    if (master_ >= 0) close(master_);
    master_ = -1;
}

Relay::Relay(int a, int b) : fds_{a, b} {
    if (pipe2(stop_, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    for (int fd : fds_) SetNonblocking(fd);
    thread_ = std::thread([this] { Run(); });
}

Relay::~Relay() {
    (void)!write(stop_[1], "x", 1);
    thread_.join();
    for (int fd : fds_) SetNonblocking(fd, false);
    close(stop_[0]);
    close(stop_[1]);
}

void Relay::Run() {
    constexpr size_t kHeld = 65536;  // the most bytes held for one side
    std::string toward[2];           // bytes waiting to be written to fds_[i]
    for (;;) {
        pollfd p[3];
        for (int i = 0; i < 2; ++i) {
            short events = toward[1 - i].size() < kHeld ? POLLIN : 0;
            if (!toward[i].empty()) events |= POLLOUT;
            p[i] = {fds_[i], events, 0};
        }
        p[2] = {stop_[0], POLLIN, 0};
        if (poll(p, 3, -1) < 0 && errno != EINTR) return;
        if (p[2].revents) return;
        for (int i = 0; i < 2; ++i) {
            char buffer[kHeld];
            if (p[i].revents & POLLIN) {
                ssize_t n = read(fds_[i], buffer, kHeld - toward[1 - i].size());
                if (n > 0) toward[1 - i].append(buffer, static_cast<size_t>(n));
            }
            if (!toward[i].empty()) {
                ssize_t n = write(fds_[i], toward[i].data(), toward[i].size());
                if (n > 0) toward[i].erase(0, static_cast<size_t>(n));
            }
        }
    }
}

void MakeRaw(int fd) {
    termios t;
    if (tcgetattr(fd, &t) != 0) return;
    cfmakeraw(&t);
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    tcsetattr(fd, TCSANOW, &t);
}

void SetNonblocking(int fd, bool on) {
    const int flags = fcntl(fd, F_GETFL);
    fcntl(fd, F_SETFL, on ? flags | O_NONBLOCK : flags & ~O_NONBLOCK);
}

bool WriteAll(int fd, const std::string& data, double timeoutSeconds, const std::function<bool()>& readerGone) {
    const double end = Now() + timeoutSeconds;
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) {
            if (Now() >= end || (readerGone && readerGone())) return false;
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
