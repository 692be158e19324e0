// comm, POSIX back end (Linux, macOS): the serial link over a termios
// device. The port is held exclusively (flock binds everyone, TIOCEXCL binds
// all but root), set raw at the chosen rate and handshaking, and every wait
// also polls the self-pipe that the interrupt handler writes, so an abort
// ends any wait at once, even one that starts after the signal.
#include "comm.h"
#include "abort_wait.h"
#include "line_rate.h"
#include "net_link.h"
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
#include <memory>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr uint8_t kXon = 0x11, kXoff = 0x13;

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
    bool xoffHeld = false;  // the device's last XOFF has not been followed by its XON
    bool readsXoff = false;  // the sender obeys XOFF itself: the kernel's IXON stops nothing here
    bool statusTrusted = false;  // the line status said empty at the open
    int writeFd = -1;  // the port's fd, or standard output when adopted
    bool adopted = false;  // standard input and output, set up by a terminal program
    bool wakesLate = false;  // adopted with VMIN above 1 and VTIME 0: poll() waits for VMIN bytes
    std::unique_ptr<NetLink> net;  // set for a network serial server: each operation goes there
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
// ignored: nohup, and shells starting background jobs, rely on that. A
// terminal program's line is written blocking (its descriptors' flags are
// not ours to change), so there a signal must end a write that blocks after
// all: restartCalls false, and every write loop here takes EINTR.
void InstallAbortHandling(bool restartCalls = true) {
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
    action.sa_flags = restartCalls ? SA_RESTART : 0;
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

// Waits until fd reports one of events, or the abort, or (when timeoutMs
// is above 0) until that long has passed, which sets *timedOut. True for
// the port.
bool WaitForPort(int fd, short events, uint32_t timeoutMs = 0, bool* timedOut = nullptr) {
    const long long deadline = NowNs() + timeoutMs * 1000000LL;
    for (;;) {
        int waitMs = -1;
        if (timeoutMs > 0) {
            const long long left = deadline - NowNs();
            if (left <= 0) return *timedOut = true, false;
            waitMs = static_cast<int>((left + 999999) / 1000000);
        }
        pollfd p[2] = {{fd, events, 0}, {abortPipe[0], POLLIN, 0}};
        int r = poll(p, 2, waitMs);
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

// Lowers the lines that are to stay off; a pseudo-terminal has none.
void LowerModemLines(int fd, ModemLine dtr, ModemLine rts) {
    int lines = (dtr == ModemLine::kOff ? TIOCM_DTR : 0) | (rts == ModemLine::kOff ? TIOCM_RTS : 0);
    if (lines) ioctl(fd, TIOCMBIC, &lines);
}

// The settings to put back at the close. With DTR kept raised, HUPCL is
// cleared (the last close would drop DTR and RTS) and a rate of 0 is not
// put back (setting it drops them).
termios KeptSettings(termios found, ModemLine dtr, speed_t rate) {
    if (dtr != ModemLine::kKeep) return found;
    found.c_cflag &= ~HUPCL;
    if (cfgetospeed(&found) == B0) {
        cfsetispeed(&found, rate);
        cfsetospeed(&found, rate);
    }
    return found;
}

// The last part of a symbolic link's target: a sysfs driver or bus name.
std::string LinkName(const std::string& path) {
    char target[PATH_MAX];
    const ssize_t n = readlink(path.c_str(), target, sizeof target - 1);
    if (n <= 0) return "";
    target[n] = '\0';
    const char* slash = std::strrchr(target, '/');
    return slash ? slash + 1 : target;
}

// Linux: whether the kernel's IXON stops nothing on this port, so that the
// sender must read the device's XOFF itself. cdc-acm and the usb-serial
// drivers implement no stop and start, and bytes handed to them keep going;
// of those, ftdi_sio and cp210x program their chip to stop on XOFF by itself
// when IXON is set, within a character, sooner than the XOFF could reach us
// through the chip's receive latency (16 ms by default on FTDI). A UART
// stops its transmitter, a pseudo-terminal its output. From the drivers'
// sources; tried here on the 8250, cdc-acm and ftdi_sio (QEMU's chip ignores
// the handshake).
bool IxonStopsNothing(const std::string& device) {
#ifdef __linux__
    char real[PATH_MAX];
    if (!realpath(device.c_str(), real)) return false;
    const std::string tty = "/sys/class/tty/" + std::string(std::strrchr(real, '/') + 1) + "/device/";
    const std::string driver = LinkName(tty + "driver");
    if (driver == "cdc_acm") return true;
    return LinkName(tty + "subsystem") == "usb-serial" && driver != "ftdi_sio" && driver != "cp210x";
#else
    (void)device;
    return false;
#endif
}

// Whether the driver's line status says the transmitter is empty: at the
// open, before anything was written, it should.
bool TransmitterReadsEmpty(int fd) {
#ifdef TIOCSERGETLSR
    unsigned int lsr = 0;
    return ioctl(fd, TIOCSERGETLSR, &lsr) == 0 && (lsr & TIOCSER_TEMT);
#else
    (void)fd;
    return false;
#endif
}

void ReleasePort(int fd) {
    ioctl(fd, TIOCNXCL);
    close(fd);  // also drops the flock
}

// After a write: returns while there is room under the drain rule (one
// byte: the queue empty; a window: fewer than `window` bytes queued and
// ahead of the line; a queue that is no count of bytes: the line clock
// alone), else sleeps about as long as the line needs, until only the reach
// is ahead. While the queue does not move (flow control holds it) the sleeps
// back off to a few a second. False on abort.
bool AwaitRoom(int fd, OutputPacing& pacing) {
    RoomWait wait(pacing);
    for (;;) {
        if (abortRequested.load()) return false;
        int queued = 0;
        if (ioctl(fd, TIOCOUTQ, &queued) != 0) return true;
        pacing.Queued(queued);
        const long long sleepNs = wait.Next(pacing, queued, NowNs());
        if (sleepNs == 0) return true;
        if (!SleepUnlessAborted(static_cast<long>(sleepNs))) return false;
    }
}

// The bytes still to leave after the last write, as far as the driver
// tells: its queue, and where it reports the transmitter (TIOCSERGETLSR)
// busy, what a FIFO it does not count may hold, by the line rate from the
// writes, and at least one. A status that did not say empty even at the
// open, before anything was written (QEMU's FTDI chip never does), is not
// trusted beyond what the pacing allows: no more than a FIFO ahead of the
// line, so once the queue has read empty (emptyAt), the bytes' line time or
// 16 characters and 2 more, whichever ends first. -1: the transmitter is empty.
long long TailBytes(int fd, const OutputPacing& pacing, bool statusTrusted, long long now, long long& emptyAt) {
    int queued = 0;
    if (ioctl(fd, TIOCOUTQ, &queued) != 0) queued = 0;
    if (queued > 0)
        emptyAt = -1;
    else if (emptyAt < 0)
        emptyAt = now;
#ifdef TIOCSERGETLSR
    unsigned int lsr = 0;
    if (ioctl(fd, TIOCSERGETLSR, &lsr) == 0) {
        long long busyNs = pacing.lineFree - now;
        if (!statusTrusted && emptyAt >= 0)
            busyNs = std::min(busyNs, emptyAt + (OutputPacing::kFifo + 2) * pacing.charNs - now);
        if ((lsr & TIOCSER_TEMT) || (!statusTrusted && emptyAt >= 0 && busyNs <= 0)) return -1;
        return std::max<long long>({queued, (busyNs + pacing.charNs - 1) / pacing.charNs, 1});
    }
#endif
    return queued;
}

// The device's XOFF and XON while we send are read from the line here, not
// left to the kernel's IXON: that stops only drivers that implement stop and
// start (the 8250 does; cdc-acm and several USB bridge drivers do not), and
// bytes handed to the others keep going. Nothing else comes from the device
// during a send; the last XOFF or XON read decides. False when the line has
// failed.
bool NoticeXonXoff(int fd, bool& held) {
    int waiting = 0;
    if (ioctl(fd, FIONREAD, &waiting) != 0) return false;
    while (waiting > 0) {
        uint8_t bytes[256];
        const ssize_t got = read(fd, bytes, std::min<size_t>(sizeof bytes, static_cast<size_t>(waiting)));
        if (got <= 0) return got < 0 && (errno == EAGAIN || errno == EINTR);
        for (ssize_t i = 0; i < got; ++i)
            if (bytes[i] == kXoff || bytes[i] == kXon) held = bytes[i] == kXoff;
        waiting -= static_cast<int>(got);
    }
    return true;
}

// Waits for received bytes as WaitForPort does. poll() calls a line whose
// VMIN is above 1 and VTIME 0 readable only once VMIN bytes have come; a
// terminal program may hand one over set so, and its last bytes or a lone
// XON would never wake us: there the queue is also looked at every 10 ms.
bool WaitForInput(const CommLink::Native& line, uint32_t timeoutMs = 0, bool* timedOut = nullptr) {
    if (!line.wakesLate) return WaitForPort(line.fd, POLLIN, timeoutMs, timedOut);
    constexpr long long kLookMs = 10;
    const long long deadline = NowNs() + timeoutMs * 1000000LL;
    for (;;) {
        int waiting = 0;
        if (ioctl(line.fd, FIONREAD, &waiting) == 0 && waiting > 0) return true;
        long long sliceMs = kLookMs;
        if (timeoutMs > 0) {
            const long long left = deadline - NowNs();
            if (left <= 0) return *timedOut = true, false;
            sliceMs = std::min(kLookMs, (left + 999999) / 1000000);
        }
        bool sliceOver = false;
        if (WaitForPort(line.fd, POLLIN, static_cast<uint32_t>(sliceMs), &sliceOver)) return true;
        if (!sliceOver) return false;
    }
}

// Holds the sender from the device's XOFF until its XON. False on abort or
// when the line has failed.
bool AwaitXon(CommLink::Native& line) {
    while (NoticeXonXoff(line.fd, line.xoffHeld)) {
        if (!line.xoffHeld) return true;
        if (!WaitForInput(line)) return false;
    }
    return false;
}

// One byte to the line; -1 with EAGAIN while it has no room. A terminal
// program's descriptors stay blocking, so there the byte goes only once
// poll() says the line takes it: a blocking write held by XOFF would wait
// for the XON. (Should XOFF stop the line between the two, the signal of
// Ctrl+C ends the write, as the abort handling there does not restart it.)
ssize_t WriteWhatFits(const CommLink::Native& line, uint8_t byte) {
    if (line.adopted) {
        pollfd p = {line.writeFd, POLLOUT, 0};
        if (poll(&p, 1, 0) <= 0 || !(p.revents & POLLOUT) || abortRequested.load()) return errno = EAGAIN, -1;
    }
    return write(line.writeFd, &byte, 1);
}

// How much to read once bytes are there. A terminal program's line stays
// blocking, and a read of more than is queued would wait for its VMIN bytes
// (or VTIME): there only what is queued, and at least one byte, which a line
// that hung up answers at once.
size_t ReadSize(const CommLink::Native& line) {
    if (!line.adopted) return kReceiveBufferSize;
    int waiting = 0;
    if (ioctl(line.fd, FIONREAD, &waiting) != 0 || waiting < 1) return 1;
    return std::min<size_t>(static_cast<size_t>(waiting), kReceiveBufferSize);
}

// After the last byte: waits until it has left the transmitter, so that
// dropping DTR or closing cannot cut the tail off. Where the driver reports
// the transmitter empty, until it says so or could no longer be busy (see
// TailBytes); elsewhere until the queue is empty and then for the 16
// characters of a FIFO and 2 more. It waits as long as the tail is seen to
// shrink (TailWait); an abort ends it at once. False when it did not empty.
bool WaitForTail(int fd, const OutputPacing& pacing, bool statusTrusted) {
    if (pacing.lineFree == 0) return true;  // nothing was sent
    const long long stepNs = std::min(std::max(2 * pacing.charNs, 500000LL), 20000000LL);
    TailWait tail;
    long long emptyAt = -1;
    for (;;) {
        const long long now = NowNs();
        const long long left = TailBytes(fd, pacing, statusTrusted, now, emptyAt);
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

int AbortWaitFd() { return abortPipe[0]; }

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
int CommLink::AdoptStandardStreams(uint32_t assumedRate, uint8_t flow) {
    const bool softwareFlow = (flow & (kFlowXonXoffIn | kFlowXonXoffOut)) != 0;
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
                      parityCode, flow);
    InstallAbortHandling(false);
    // The descriptors share their open file descriptions with the terminal
    // program, so their flags stay as it set them (blocking, as a rule):
    // a change would outlive a SIGKILL, which minicom's Ctrl+C sends. Every
    // wait polls instead, and a write goes only where the line has room.
    native->fd = STDIN_FILENO;
    native->writeFd = STDOUT_FILENO;
    native->adopted = true;
    native->wakesLate = t.c_cc[VMIN] > 1 && t.c_cc[VTIME] == 0;
    // -F2: where the line's IXON is off, nothing else stops the sender on the
    // device's XOFF, so WriteByte reads it from the line itself. Where it is
    // on, the kernel takes XOFF and XON off the line and stops the output.
    native->readsXoff = !(t.c_iflag & IXON);
    native->xoffHeld = false;
    isOpen = 1;
    return 1;
}

int CommLink::OpenConnection(int portNumber, uint32_t rate, uint8_t size, uint8_t stop,
                             uint8_t parityCode, uint8_t flow, const char* devicePath) {
    if (isOpen) return 0;
    // Before the port is taken: a signal from here on aborts in order.
    InstallAbortHandling();
    StoreLineSettings(portNumber, rate, size, stop, parityCode, flow);
    if (IsNetworkPort(devicePath)) {
        native->net = NetLink::Open(devicePath, rate, flow, dtrMode, rtsMode, &openFailure);
        return isOpen = native->net ? 1 : 0;
    }
    // Non-blocking: the open must not wait for carrier, and reads never block.
    openFailure = {DeviceName(port, devicePath), OpenStep::kNone, 0, ""};
    // minicom, cu and the like say with a lock file that the port is theirs;
    // two programs reading one line both lose. Asked before the open, which
    // already raises DTR on most drivers.
    if (UucpLockHolder(openFailure.device, UucpLockDirs()) != 0) return OpenFailed(OpenStep::kLock, EBUSY);
    int fd = open(openFailure.device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return OpenFailed(OpenStep::kOpen, errno);
    // A file that is no terminal is refused before it is locked: a lock on
    // /dev/null or a regular file binds every other program that opens it,
    // and two runs given the same wrong name would be told it is in use.
    if (!isatty(fd)) {
        const int error = errno;
        close(fd);
        return OpenFailed(OpenStep::kSettings, error);
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        close(fd);
        return OpenFailed(OpenStep::kLock, error);
    }
    // Linux raises DTR and RTS inside open() unless the rate it keeps for the
    // port is 0, and nothing before the open can stop it: a line that is to
    // stay off is lowered as soon as the port is ours, so the pulse lasts
    // only this long. (Before the lock it could be another program's line.)
    LowerModemLines(fd, dtrMode, rtsMode);
    ioctl(fd, TIOCEXCL);
    native->fd = native->writeFd = fd;
    native->xoffHeld = false;
    native->readsXoff = IxonStopsNothing(openFailure.device);
    tcgetattr(fd, &native->found);
    tcflush(fd, TCIOFLUSH);  // whatever the line held before is not ours
    if (!ApplyPortSettings(baudRate, byteSize, stopBits, parity, flowControl)) {
        const int error = errno;
        ReleasePort(fd);
        native->fd = -1;
        return OpenFailed(OpenStep::kSettings, error);
    }
    isOpen = 1;
    // Leaving a kept rate of 0 raises them again; lowered once more.
    LowerModemLines(fd, dtrMode, rtsMode);
    native->statusTrusted = TransmitterReadsEmpty(fd);
    // DTR (and RTS, unless it is the handshake line) tell the device we are
    // here. A pseudo-terminal has no modem lines, so the result is ignored.
    int lines = (dtrMode != ModemLine::kOff ? TIOCM_DTR : 0) |
                ((flowControl & kFlowCtsRts) || rtsMode == ModemLine::kOff ? 0 : TIOCM_RTS);
    if (lines) ioctl(fd, TIOCMBIS, &lines);
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
    // kFlowXonXoffOut: IXON where it stops the port; elsewhere WriteByte
    // obeys the device's XOFF itself.
    if ((flowControl & kFlowXonXoffOut) && !native->readsXoff) t.c_iflag |= IXON;
    t.c_cc[VSTART] = kXon;
    t.c_cc[VSTOP] = kXoff;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    cfsetispeed(&t, speed);
    cfsetospeed(&t, speed);
    return tcsetattr(native->fd, TCSANOW, &t) == 0;
}

int CommLink::FinishSending() {
    if (native->net) return native->net->FinishSending();
    if (native->fd < 0 || abortRequested.load()) return 0;
    const bool gone = WaitForTail(native->writeFd, native->pacing, native->statusTrusted);
    native->pacing.Reset(native->pacing.charNs);  // what is left is not waited for twice
    return gone ? 1 : 0;
}

int CommLink::CloseConnection() {
    isOpen = 0;
    if (native->net) return NetLink::Release(native->net);
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
    const termios restored = KeptSettings(native->found, dtrMode, LineSpeedFor(baudRate));
    tcsetattr(fd, TCSANOW, &restored);
    int lines = TIOCM_DTR;
    if (dtrMode != ModemLine::kKeep) ioctl(fd, TIOCMBIC, &lines);
    ReleasePort(fd);
    native->fd = -1;
    return 1;
}

int CommLink::FillReceiveBuffer() {
    receiveCount = 0;
    receiveIndex = 0;
    if (!isOpen || abortRequested.load()) return 0;
    if (native->net)
        return native->net->FillReceiveBuffer(receiveBuffer, kReceiveBufferSize, receiveCount, receiveTimeoutMs,
                                              timedOut);
    int waiting = 0;
    if (ioctl(native->fd, FIONREAD, &waiting) != 0) return LineFailed(errno);  // the line is gone
    if (waiting <= 0 && !WaitForData()) return 0;
    if (!AwaitBatch(native->fd, LineCharacterNs(baudRate, byteSize, parity != 0, stopBits ? 2 : 1))) return 0;
    ssize_t got = read(native->fd, receiveBuffer, ReadSize(*native));
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
    if (native->net) return native->net->WaitForData(receiveTimeoutMs, timedOut);
    return WaitForInput(*native, receiveTimeoutMs, &timedOut) ? 1 : LineFailed(portFailure);
}

int CommLink::WriteByte(int byte) {
    if (!isOpen || abortRequested.load()) return 0;
    if (native->net) return native->net->WriteByte(byte);
    const bool obeysXoff = (flowControl & kFlowXonXoffOut) && native->readsXoff;
    if (obeysXoff && !AwaitXon(*native)) return 0;
    const int fd = native->writeFd;
    const uint8_t data = static_cast<uint8_t>(byte);
    long long busySince = -1;
    for (;;) {
        ssize_t n = WriteWhatFits(*native, data);
        if (n == 1) break;
        if (n < 0 && errno != EAGAIN && errno != EINTR) return LineFailed(errno);
        // XOFF received, CTS low or the queue full: wait until it moves.
        if (abortRequested.load()) return 0;
        if (busySince < 0) busySince = NowNs();
        if (!WaitForPort(fd, POLLOUT)) return LineFailed(portFailure);
    }
    const long long charNs = LineCharacterNs(baudRate, byteSize, parity != 0, stopBits ? 2 : 1);
    OutputPacing& pacing = native->pacing;
    if (pacing.charNs != charNs || pacing.obeysXoff != obeysXoff) pacing.Reset(charNs, obeysXoff);
    pacing.Written(NowNs(), busySince);
    return AwaitRoom(fd, pacing) ? 1 : 0;
}
