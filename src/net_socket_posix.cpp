// net, POSIX: one TCP connection for the network link. Non-blocking
// throughout, so that every wait is a poll that also watches the abort's
// self-pipe: a server that does not answer, or a connection held by the
// server's flow control, never outlasts Ctrl+C.
#include "net_socket.h"

#include "abort_wait.h"
#include "comm.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

struct NetSocket::Native {
    int fd = -1;
};

namespace {

long long NowMs() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000LL + t.tv_nsec / 1000000;
}

enum class Wait { kReady, kTimedOut, kAborted, kFailed };

// Waits until fd reports one of events (or an error or hang-up, which the
// next call on it then tells), the abort, or the bound (kForever: none).
Wait WaitFor(int fd, short events, uint32_t timeoutMs) {
    const long long deadline = timeoutMs == NetSocket::kForever ? -1 : NowMs() + timeoutMs;
    for (;;) {
        if (abortRequested.load()) return Wait::kAborted;
        int waitMs = -1;
        if (deadline >= 0) {
            const long long left = deadline - NowMs();
            waitMs = left > 0 ? static_cast<int>(left) : 0;
        }
        pollfd p[2] = {{fd, events, 0}, {AbortWaitFd(), POLLIN, 0}};
        const int r = poll(p, 2, waitMs);
        if (r < 0 && errno != EINTR) return Wait::kFailed;
        if (r > 0 && (p[1].revents & POLLIN)) return Wait::kAborted;
        if (r > 0 && p[0].revents) return Wait::kReady;
        if (r == 0 && waitMs == 0) return Wait::kTimedOut;
    }
}

int WaitError(Wait wait) {
    return wait == Wait::kAborted ? NetSocket::kAborted : wait == Wait::kTimedOut ? NetSocket::kTimedOut : errno;
}

// One address's connection: non-blocking, bounded by the deadline. The
// descriptor, or -1 with *error set.
int ConnectTo(const addrinfo* a, long long deadline, int* error) {
    const int fd = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
    if (fd < 0) return *error = errno, -1;
    if (connect(fd, a->ai_addr, a->ai_addrlen) != 0 && errno != EINPROGRESS) {
        *error = errno;
        close(fd);
        return -1;
    }
    const long long left = deadline - NowMs();
    const Wait wait = WaitFor(fd, POLLOUT, left > 0 ? static_cast<uint32_t>(left) : 0);
    int soError = 0;
    socklen_t size = sizeof soError;
    if (wait != Wait::kReady) {
        *error = WaitError(wait);
    } else if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &size) != 0 || soError != 0) {
        *error = soError ? soError : errno;
    } else {
        return fd;
    }
    close(fd);
    return -1;
}

}  // namespace

NetSocket::NetSocket() : native(new Native) {}

NetSocket::~NetSocket() {
    Close();
    delete native;
}

bool NetSocket::Connect(const std::string& host, const std::string& port, uint32_t timeoutMs) {
    Close();
    addrinfo hints = {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    // getaddrinfo cannot be interrupted; a name server that does not answer
    // holds it for its own time-out (a few seconds), then the abort is seen.
    const int r = getaddrinfo(host.c_str(), port.c_str(), &hints, &found);
    if (r != 0) {
        error = r == EAI_SYSTEM ? errno : kNoHost;
        return false;
    }
    const long long deadline = NowMs() + timeoutMs;
    error = kNoHost;
    for (const addrinfo* a = found; a && native->fd < 0 && error != kAborted; a = a->ai_next)
        native->fd = ConnectTo(a, deadline, &error);
    freeaddrinfo(found);
    if (native->fd < 0) return false;
    // Paced one-byte writes must leave at once, not wait for Nagle's
    // acknowledgement (up to 40 ms late on the loopback).
    const int on = 1;
    setsockopt(native->fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    error = 0;
    return true;
}

bool NetSocket::SendAll(const uint8_t* data, size_t n) {
    while (n > 0) {
        if (native->fd < 0) return error = kClosed, false;
        if (abortRequested.load()) return error = kAborted, false;
        const ssize_t sent = send(native->fd, data, n, MSG_NOSIGNAL);
        if (sent > 0) {
            data += sent;
            n -= static_cast<size_t>(sent);
            continue;
        }
        if (errno == EPIPE) return error = kClosed, false;
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return error = errno, false;
        const Wait wait = WaitFor(native->fd, POLLOUT, kForever);
        if (wait != Wait::kReady) return error = WaitError(wait), false;
    }
    return true;
}

long NetSocket::Receive(uint8_t* buffer, size_t cap, uint32_t timeoutMs) {
    if (native->fd < 0) return error = kClosed, -1;
    for (;;) {
        const ssize_t got = recv(native->fd, buffer, cap, 0);
        if (got > 0) return static_cast<long>(got);
        // An orderly close: the server read everything sent before it (with
        // data unread, a close resets the connection instead).
        if (got == 0) return error = kClosed, -1;
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return error = errno, -1;
        if (timeoutMs == 0) return 0;
        const Wait wait = WaitFor(native->fd, POLLIN, timeoutMs);
        if (wait == Wait::kTimedOut) return 0;
        if (wait != Wait::kReady) return error = WaitError(wait), -1;
        timeoutMs = 0;  // ready: the next recv tells what came
    }
}

void NetSocket::Close() {
    if (native->fd >= 0) close(native->fd);
    native->fd = -1;
}

void NetSocket::Reset() {
    if (native->fd < 0) return;
    const linger now = {1, 0};
    setsockopt(native->fd, SOL_SOCKET, SO_LINGER, &now, sizeof now);
    Close();
}

bool NetSocket::IsOpen() const { return native->fd >= 0; }

std::string NetSocket::Describe(int code) { return std::strerror(code); }
