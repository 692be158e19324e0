// comm, POSIX back end (Linux, macOS): the serial link over a termios
// device. The port is held exclusively (flock binds everyone, TIOCEXCL binds
// all but root), set raw at the chosen rate and handshaking, and every wait
// also polls the self-pipe that the interrupt handler writes, so an abort
// ends any wait at once, even one that starts after the signal.
#include "comm.h"
#include "abort_wait.h"
#include "line_rate.h"
#include "output_pacing.h"
#include "uucp_lock.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <initializer_list>
#include <cerrno>
#include <cstdio>
#include <string>

namespace {

long long NowNs() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000000000LL + t.tv_nsec;
}

}  // namespace

struct CommLink::Native {
    int fd = -1;
    termios found = {};  // the line settings as the port had them at open
    OutputPacing pacing;
    int writeFd = -1;  // the port's fd, or standard output when adopted
    bool adopted = false;  // standard input and output, set up by a terminal program
    int savedFlags[2] = {-1, -1};  // file status flags of descriptors 0 and 1, put back at the close
};

namespace {

// Read end stays readable once written: an abort is never "used up".
int abortPipe[2] = {-1, -1};

void OnConsoleControl(int) {
    int savedErrno = errno;
    abortRequested.store(1);
    char byte = 1;
    if (abortPipe[1] >= 0) (void)!write(abortPipe[1], &byte, 1);
    errno = savedErrno;
}

void SetCloexecNonblock(int fd) {
    fcntl(fd, F_SETFD, fcntl(fd, F_GETFD) | FD_CLOEXEC);
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
}

// Ctrl+C, Ctrl+\ (the nearest to Ctrl+Break), SIGTERM, a hang-up of the
// controlling terminal, and the other signals whose default ends the
// process and that a user, a script or a limit may send (`timeout -s ALRM`,
// `kill -USR1`, a CPU or file size limit) abort the transfer in order
// instead of killing the process with the port raw and exclusive.
constexpr int kAbortSignals[] = {SIGINT,  SIGQUIT,   SIGTERM, SIGHUP,  SIGUSR1, SIGUSR2,
                                 SIGALRM, SIGVTALRM, SIGPROF, SIGXCPU, SIGXFSZ,
#ifdef SIGPWR
                                 SIGPWR,
#endif
};

// SA_RESTART keeps console and file writes whole; no wait depends on EINTR,
// as every wait also polls the self-pipe. A signal the caller ignored stays
// ignored: nohup, and shells starting background jobs, rely on that.
void InstallAbortHandling() {
    static bool installed = false;
    if (installed) return;
    installed = true;
    if (pipe(abortPipe) == 0) {
        SetCloexecNonblock(abortPipe[0]);
        SetCloexecNonblock(abortPipe[1]);
    }
    struct sigaction action = {};
    action.sa_handler = OnConsoleControl;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int sig : kAbortSignals) {
        struct sigaction inherited;
        if (sigaction(sig, nullptr, &inherited) == 0 && inherited.sa_handler == SIG_IGN) continue;
        sigaction(sig, &action, nullptr);
    }
}

// Sleeps up to ns nanoseconds; false if the abort arrived meanwhile.
bool SleepUnlessAborted(long ns) {
    timespec timeout = {ns / 1000000000L, ns % 1000000000L};
#ifdef __linux__
    pollfd p = {abortPipe[0], POLLIN, 0};
    return ppoll(&p, 1, &timeout, nullptr) <= 0 || !(p.revents & POLLIN);
#else
    fd_set readable;
    FD_ZERO(&readable);
    if (abortPipe[0] >= 0) FD_SET(abortPipe[0], &readable);
    return pselect(abortPipe[0] + 1, &readable, nullptr, nullptr, &timeout, nullptr) <= 0;
#endif
}

// Why the last WaitForPort failed, as CommLink::LineError tells it.
int portFailure = 0;

// Waits until fd reports one of events, or the abort. True for the port.
bool WaitForPort(int fd, short events) {
    for (;;) {
        pollfd p[2] = {{fd, events, 0}, {abortPipe[0], POLLIN, 0}};
        int r = poll(p, 2, -1);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) portFailure = errno;
        if (r < 0 || (p[1].revents & POLLIN)) return false;
        if (p[0].revents & events) return true;
        // A hang-up (an unplugged USB adapter, a closed pseudo-terminal) would
        // otherwise report "ready" forever with nothing to read.
        if (p[0].revents & (POLLHUP | POLLERR | POLLNVAL)) {
            portFailure = (p[0].revents & POLLHUP) ? CommLink::kHungUp : EIO;
            return false;
        }
    }
}

tcflag_t CharacterSize(uint8_t byteSize) {
    switch (byteSize) {
        case 5: return CS5;
        case 6: return CS6;
        case 7: return CS7;
        default: return CS8;
    }
}

std::string DeviceName(uint8_t port, const char* devicePath) {
    if (devicePath) return devicePath;
    return "/dev/ttyS" + std::to_string(static_cast<int>(port) - 1);  // COMn
}

void ReleasePort(int fd) {
    ioctl(fd, TIOCNXCL);
    close(fd);  // also drops the flock
}

// After a write: returns while there is room under the drain rule (one
// byte: the queue empty; a window: fewer than `window` bytes queued and
// ahead of the line), else sleeps about as long as the line needs, until
// only the reach is ahead. While the queue does not move (flow control holds
// it) the sleeps back off to a few a second. False on abort.
bool AwaitRoom(int fd, OutputPacing& pacing) {
    constexpr long long kMaxSleepNs = 20000000LL;
    const int window = pacing.Window();
    long long aheadLimit = window * pacing.charNs;
    long long sleepNs = 0;
    int lastQueued = -1;
    for (;;) {
        if (abortRequested.load()) return false;
        int queued = 0;
        if (ioctl(fd, TIOCOUTQ, &queued) != 0) return true;
        const long long now = NowNs();
        if (queued <= 0 && (lastQueued < 0 || window == 1)) pacing.Measured(lastQueued < 0 ? 0 : now - pacing.writtenAt);
        const long long ahead = pacing.lineFree - now;
        const bool held = window == 1 ? queued > 0 : queued >= window;
        if (!held && (window == 1 || ahead < aheadLimit)) return true;
        aheadLimit = pacing.Reach() * pacing.charNs;
        if (held)
            sleepNs = queued == lastQueued ? std::min(sleepNs * 2, kMaxSleepNs)
                                           : std::min((queued - window + 1) * pacing.charNs, kMaxSleepNs);
        else
            sleepNs = std::min(ahead - aheadLimit + pacing.charNs, kMaxSleepNs);
        lastQueued = queued;
        if (!SleepUnlessAborted(static_cast<long>(std::max(sleepNs, 20000LL)))) return false;
    }
}

// The bytes still to leave after the last write, as far as the driver
// tells: its queue, and where it reports the transmitter (TIOCSERGETLSR),
// the bytes a FIFO it does not count may hold, by the line rate from the
// writes, and at least one while it is busy. -1: the transmitter is empty.
long long TailBytes(int fd, const OutputPacing& pacing, long long now) {
    int queued = 0;
    if (ioctl(fd, TIOCOUTQ, &queued) != 0) queued = 0;
#ifdef TIOCSERGETLSR
    unsigned int lsr = 0;
    if (ioctl(fd, TIOCSERGETLSR, &lsr) == 0) {
        if (lsr & TIOCSER_TEMT) return -1;
        const long long ahead = (pacing.lineFree - now + pacing.charNs - 1) / pacing.charNs;
        return std::max<long long>({queued, ahead, 1});
    }
#endif
    return queued;
}

// After the last byte: waits until it has left the transmitter, so that
// dropping DTR or closing cannot cut the tail off. Where the driver reports
// the transmitter empty, until it says so; elsewhere until the queue is
// empty and then for the 16 characters of a FIFO and 2 more. It waits as
// long as the tail is seen to shrink (TailWait); an abort ends it at once.
// False when it did not empty.
bool WaitForTail(int fd, const OutputPacing& pacing) {
    if (pacing.lineFree == 0) return true;  // nothing was sent
    const long long stepNs = std::min(std::max(2 * pacing.charNs, 500000LL), 20000000LL);
    TailWait tail;
    for (;;) {
        const long long now = NowNs();
        const long long left = TailBytes(fd, pacing, now);
        if (left < 0) return true;
        const TailWait::State state = tail.Observe(left, now);
        if (state == TailWait::State::kHeld) return false;
        if (state == TailWait::State::kEmpty) break;
        if (!SleepUnlessAborted(static_cast<long>(stepNs))) return false;
    }
    return SleepUnlessAborted(static_cast<long>(18 * pacing.charNs));
}

// Once a few bytes have come: sleeps (an abort ends it) for about the time
// the line needs to bring a batch worth a wake-up, at most 10 ms, so that
// bytes arriving one at a time cost one wake-up per batch, the last byte of
// a transfer still comes within 10 ms, and the kernel's 4 KiB input buffer
// is never near full. False on abort.
bool AwaitBatch(int fd, long long charNs) {
    constexpr long long kMaxWaitNs = 10000000LL;
    const long long batch = std::max(kMaxWaitNs / std::max(charNs, 1LL), 1LL);
    int waiting = 0;
    if (ioctl(fd, FIONREAD, &waiting) != 0 || waiting >= batch) return true;
    return SleepUnlessAborted(static_cast<long>(std::min((batch - waiting) * charNs, kMaxWaitNs)));
}

}  // namespace

bool WaitUnlessAborted(int fd, short events) { return WaitForPort(fd, events); }

bool NapUnlessAborted(long ms) { return !abortRequested.load() && SleepUnlessAborted(ms * 1000000L); }

CommLink::Native* CommLink::NewNative() { return new Native; }

void CommLink::DeleteNative(Native* state) { delete state; }

namespace {

uint8_t ByteSizeOf(tcflag_t cflag) {
    switch (cflag & CSIZE) {
        case CS5: return 5;
        case CS6: return 6;
        case CS7: return 7;
        default: return 8;
    }
}

int ReleaseStandardStreams(CommLink::Native* state) {
    for (int fd : {STDOUT_FILENO, STDIN_FILENO})
        if (state->savedFlags[fd] >= 0) fcntl(fd, F_SETFL, state->savedFlags[fd]);
    state->adopted = false;
    state->fd = state->writeFd = -1;
    return 1;
}

}  // namespace

namespace {

// The flags, by name, that make a line cooked: each one changes, adds or
// takes bytes on their way (echo, CR/LF mapping, signals on ^C, line
// editing, XON/XOFF taken out of the data).
std::string CookedFlags(const termios& t, bool softwareFlow) {
    struct Flag {
        tcflag_t termios::*field;
        tcflag_t bit;
        const char* name;
    };
    static const Flag kFlags[] = {
        {&termios::c_lflag, ICANON, "ICANON"}, {&termios::c_lflag, ECHO, "ECHO"},
        {&termios::c_lflag, ISIG, "ISIG"},     {&termios::c_lflag, IEXTEN, "IEXTEN"},
        {&termios::c_oflag, OPOST, "OPOST"},   {&termios::c_iflag, ICRNL, "ICRNL"},
        {&termios::c_iflag, INLCR, "INLCR"},   {&termios::c_iflag, IGNCR, "IGNCR"},
        {&termios::c_iflag, ISTRIP, "ISTRIP"}, {&termios::c_iflag, IXON, "IXON"},
        {&termios::c_iflag, IXOFF, "IXOFF"},
    };
    std::string names;
    for (const Flag& f : kFlags) {
        const bool flowFlag = f.field == &termios::c_iflag && (f.bit == IXON || f.bit == IXOFF);
        if (!(t.*f.field & f.bit) || (flowFlag && softwareFlow)) continue;
        names += (names.empty() ? "" : " ") + std::string(f.name);
    }
    return names;
}

}  // namespace

// The terminal program keeps the port: its lock, settings and modem lines
// stay as it set them; only the line's format is read, for the timing. Making
// a cooked line raw is the terminal program's business, not ours: it would
// not know its line had changed.
int CommLink::AdoptStandardStreams(uint32_t assumedRate, bool softwareFlow) {
    termios t, out;
    openFailure = {"", OpenStep::kNone, 0, ""};
    if (isOpen || tcgetattr(STDIN_FILENO, &t) != 0 || tcgetattr(STDOUT_FILENO, &out) != 0) return 0;
    openFailure.detail = CookedFlags(t, softwareFlow);
    const std::string outFlags = CookedFlags(out, softwareFlow);
    if (openFailure.detail.empty()) openFailure.detail = outFlags;
    if (!openFailure.detail.empty()) return OpenFailed(OpenStep::kCooked, 0);
    const uint32_t rate = static_cast<uint32_t>(LineRateOf(cfgetospeed(&t)));
    const uint8_t parityCode = (t.c_cflag & PARENB) ? ((t.c_cflag & PARODD) ? 1 : 2) : 0;
    StoreLineSettings(0, rate ? rate : assumedRate, ByteSizeOf(t.c_cflag), (t.c_cflag & CSTOPB) ? 2 : 0,
                      parityCode, 0);
    InstallAbortHandling();
    native->fd = STDIN_FILENO;
    native->writeFd = STDOUT_FILENO;
    native->adopted = true;
    // Non-blocking, so a write held by XOFF stays abortable. The descriptors
    // share their open file description with the terminal program's own, so
    // the flags go back as they were at the close.
    for (int fd : {STDIN_FILENO, STDOUT_FILENO}) native->savedFlags[fd] = fcntl(fd, F_GETFL);
    for (int fd : {STDIN_FILENO, STDOUT_FILENO})
        if (native->savedFlags[fd] >= 0) fcntl(fd, F_SETFL, native->savedFlags[fd] | O_NONBLOCK);
    isOpen = 1;
    return 1;
}

int CommLink::OpenConnection(int portNumber, uint32_t rate, uint8_t size, uint8_t stop,
                             uint8_t parityCode, uint8_t flow, const char* devicePath) {
    if (isOpen) return 0;
    // Before the port is taken: a signal from here on aborts in order.
    InstallAbortHandling();
    StoreLineSettings(portNumber, rate, size, stop, parityCode, flow);
    // Non-blocking: the open must not wait for carrier, and reads never block.
    openFailure = {DeviceName(port, devicePath), OpenStep::kNone, 0, ""};
    // minicom, cu and the like say with a lock file that the port is theirs;
    // two programs reading one line both lose. Asked before the open, which
    // already raises DTR on most drivers.
    if (UucpLockHolder(openFailure.device, UucpLockDirs()) != 0) return OpenFailed(OpenStep::kLock, EBUSY);
    int fd = open(openFailure.device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return OpenFailed(OpenStep::kOpen, errno);
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        close(fd);
        return OpenFailed(OpenStep::kLock, error);
    }
    ioctl(fd, TIOCEXCL);
    native->fd = native->writeFd = fd;
    tcgetattr(fd, &native->found);
    tcflush(fd, TCIOFLUSH);  // whatever the line held before is not ours
    if (!ApplyPortSettings(baudRate, byteSize, stopBits, parity, flowControl)) {
        const int error = errno;
        ReleasePort(fd);
        native->fd = -1;
        return OpenFailed(OpenStep::kSettings, error);
    }
    isOpen = 1;
    // DTR (and RTS, unless it is the handshake line) tell the device we are
    // here. A pseudo-terminal has no modem lines, so the result is ignored.
    int lines = TIOCM_DTR | ((flowControl & kFlowCtsRts) ? 0 : TIOCM_RTS);
    ioctl(fd, TIOCMBIS, &lines);
    return 1;
}

int CommLink::ApplyPortSettings(uint32_t rate, uint8_t size, uint8_t stop, uint8_t parityCode,
                                uint8_t flow) {
    UpdateLineSettings(rate, size, stop, parityCode, flow);
    termios t;
    speed_t speed = LineSpeedFor(baudRate);
    if (speed == B0 || tcgetattr(native->fd, &t) != 0) return 0;
    cfmakeraw(&t);
    t.c_cflag &= ~(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
    t.c_cflag |= CLOCAL | CREAD | CharacterSize(byteSize);
    if (parity == 1) t.c_cflag |= PARENB | PARODD;
    if (parity == 2) t.c_cflag |= PARENB;
    if (stopBits != 0) t.c_cflag |= CSTOPB;  // 1.5 has no termios form; 2 is nearest
    t.c_iflag &= ~(IXON | IXOFF | IXANY);
    if (flowControl & kFlowCtsRts) t.c_cflag |= CRTSCTS;
    if (flowControl & kFlowXonXoffIn) t.c_iflag |= IXOFF;
    if (flowControl & kFlowXonXoffOut) t.c_iflag |= IXON;
    t.c_cc[VSTART] = 0x11;
    t.c_cc[VSTOP] = 0x13;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    cfsetispeed(&t, speed);
    cfsetospeed(&t, speed);
    return tcsetattr(native->fd, TCSANOW, &t) == 0;
}

int CommLink::FinishSending() {
    if (native->fd < 0 || abortRequested.load()) return 0;
    const bool gone = WaitForTail(native->writeFd, native->pacing);
    native->pacing.Reset(native->pacing.charNs);  // what is left is not waited for twice
    return gone ? 1 : 0;
}

int CommLink::CloseConnection() {
    isOpen = 0;
    int fd = native->fd;
    if (fd < 0) return 1;
    if (!abortRequested.load()) FinishSending();
    if (native->adopted) return ReleaseStandardStreams(native);
    // Output still queued here was held by XOFF or CTS when an abort (or the
    // tail's bound) came, and close() would wait up to 30 s for it: drop it.
    // Only then: on a pseudo-terminal the queue always reads empty, and
    // flushing would discard what the other side has not read yet.
    int queued = 0;
    if (ioctl(fd, TIOCOUTQ, &queued) == 0 && queued > 0) tcflush(fd, TCOFLUSH);
    tcflush(fd, TCIFLUSH);
    // The settings go back before DTR drops: a console on this port is left
    // as we found it.
    tcsetattr(fd, TCSANOW, &native->found);
    int lines = TIOCM_DTR;
    ioctl(fd, TIOCMBIC, &lines);
    ReleasePort(fd);
    native->fd = -1;
    return 1;
}

int CommLink::FillReceiveBuffer() {
    receiveCount = 0;
    receiveIndex = 0;
    if (!isOpen || abortRequested.load()) return 0;
    int waiting = 0;
    if (ioctl(native->fd, FIONREAD, &waiting) != 0) return LineFailed(errno);  // the line is gone
    if (waiting <= 0 && !WaitForData()) return 0;
    if (!AwaitBatch(native->fd, LineCharacterNs(baudRate, byteSize, parity != 0, stopBits ? 2 : 1))) return 0;
    ssize_t got = read(native->fd, receiveBuffer, kReceiveBufferSize);
    // Nothing to read right after being told there is: the line hung up
    // (an unplugged adapter, a closed pseudo-terminal), not a pause.
    if (got == 0) return LineFailed(kHungUp);
    if (got < 0) {
        if (errno != EAGAIN && errno != EINTR) return LineFailed(errno);
        got = 0;
    }
    receiveCount = static_cast<uint32_t>(got);
    return 1;
}

int CommLink::WaitForData() {
    if (receiveCount > 0) return 1;
    if (!isOpen) return 0;
    return WaitForPort(native->fd, POLLIN) ? 1 : LineFailed(portFailure);
}

int CommLink::WriteByte(int byte) {
    if (!isOpen || abortRequested.load()) return 0;
    const int fd = native->writeFd;
    const uint8_t data = static_cast<uint8_t>(byte);
    for (;;) {
        ssize_t n = write(fd, &data, 1);
        if (n == 1) break;
        if (n < 0 && errno != EAGAIN && errno != EINTR) return LineFailed(errno);
        // XOFF received, CTS low or the queue full: wait until it moves.
        if (abortRequested.load()) return 0;
        if (!WaitForPort(fd, POLLOUT)) return LineFailed(portFailure);
    }
    const long long charNs = LineCharacterNs(baudRate, byteSize, parity != 0, stopBits ? 2 : 1);
    OutputPacing& pacing = native->pacing;
    if (pacing.charNs != charNs) pacing.Reset(charNs);
    pacing.Written(NowNs());
    return AwaitRoom(fd, pacing) ? 1 : 0;
}
