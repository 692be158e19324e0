// velta-sim: the line to the PC, pacing, and the one place where we sleep.
#include "sim_line.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/select.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "line_rate.h"
#include "sim_format.h"

namespace sim {

namespace {

constexpr int kOurSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGUSR1};

volatile sig_atomic_t signalled = 0;
volatile sig_atomic_t goSignals = 0;
sigset_t waitMask;  // the mask while Wait sleeps: our signals let through

bool stdinWatched = false;
bool stdinClosed = false;
unsigned goTaken = 0;
unsigned stdinLines = 0;

void OnSignal(int sig) {
    if (sig == SIGUSR1) ++goSignals;
    else signalled = 1;
}

unsigned GoPending() { return stdinLines + static_cast<unsigned>(goSignals) - goTaken; }

// Raw 8N1 with no flow control of the kernel's: XON/XOFF is ours to do.
bool MakeRaw(int fd, speed_t speed) {
    termios t;
    if (tcgetattr(fd, &t) != 0) return false;
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cflag &= ~CRTSCTS;
    t.c_iflag &= ~(IXON | IXOFF | IXANY);
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    if (speed != B0) {
        cfsetispeed(&t, speed);
        cfsetospeed(&t, speed);
    }
    return tcsetattr(fd, TCSANOW, &t) == 0;
}

void ReadStdin() {
    char buffer[256];
    ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
    if (n <= 0) {
        if (n == 0 || (errno != EINTR && errno != EAGAIN)) stdinClosed = true;
        return;
    }
    stdinLines += static_cast<unsigned>(std::count(buffer, buffer + n, '\n'));
}

}  // namespace

Line::~Line() {
    if (!link_.empty()) unlink(link_.c_str());
    if (fd_ >= 0) close(fd_);
    if (ptySlave_ >= 0) close(ptySlave_);
}

bool Line::OpenPty(const std::string& link, std::string* error) {
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        *error = std::string("cannot create a pseudo-terminal: ") + std::strerror(errno);
        if (master >= 0) close(master);
        return false;
    }
    const char* name = ptsname(master);
    int slave = name ? open(name, O_RDWR | O_NOCTTY) : -1;
    if (slave < 0) {
        *error = std::string("cannot open the pseudo-terminal's slave: ") + std::strerror(errno);
        close(master);
        return false;
    }
    path_ = name;
    fd_ = master;
    ptySlave_ = slave;
    fcntl(master, F_SETFD, FD_CLOEXEC);
    fcntl(slave, F_SETFD, FD_CLOEXEC);
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    // The master's settings are the slave's; raw until the PC sets its own.
    MakeRaw(slave, B0);
    // Packet mode tells us when the PC flushes the line (it does on opening)
    // and lets data and those notices come apart cleanly.
    int on = 1;
    ioctl(master, TIOCPKT, &on);
    if (!link.empty()) {
        struct stat st;
        if (lstat(link.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) unlink(link.c_str());
        if (symlink(name, link.c_str()) != 0) {
            *error = "cannot make the link " + link + ": " + std::strerror(errno);
            return false;
        }
        link_ = link;
    }
    return true;
}

bool Line::OpenDevice(const std::string& path, unsigned baud, std::string* error) {
    speed_t speed = LineSpeedFor(baud);
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        *error = "cannot open " + path + ": " + std::strerror(errno);
        return false;
    }
    if (!isatty(fd) || !MakeRaw(fd, speed)) {
        *error = path + " is not a serial line";
        close(fd);
        return false;
    }
    if (speed == B0 && !(path.compare(0, 9, "/dev/pts/") == 0)) {
        *error = "a serial device cannot run at " + std::to_string(baud) + " bit/s";
        close(fd);
        return false;
    }
    tcflush(fd, TCIOFLUSH);
    path_ = path;
    fd_ = fd;
    int lines = TIOCM_DTR | TIOCM_RTS;
    ioctl(fd, TIOCMBIS, &lines);
    return true;
}

// An opening is the PC discarding its pending output and then setting the
// line up; Wine discards in four steps, so the flush alone is not enough.
void Line::NoteStatus(uint8_t status) {
    if (status & TIOCPKT_FLUSHWRITE) {
        flushedAt_ = Clock::now();
        opening_ = true;
    }
#ifdef TIOCPKT_IOCTL
    if (opening_ && (status & TIOCPKT_IOCTL) && !ownChange_) {
        opening_ = false;
        ++openEvents_;
    }
#endif
}

bool Line::Read(std::deque<uint8_t>* out, size_t max) {
    uint8_t buffer[4097];
    const size_t lead = IsPty() ? 1 : 0;  // packet mode's status byte
    while (max > 0 || lead) {
        size_t want = std::min<size_t>(max, sizeof buffer - lead) + lead;
        ssize_t n = read(fd_, buffer, want);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) return true;
        if (n <= 0) return false;
        if (lead && buffer[0] != TIOCPKT_DATA) {
            NoteStatus(buffer[0]);
            continue;
        }
        out->insert(out->end(), buffer + lead, buffer + n);
        max -= static_cast<size_t>(n) - lead;
        if (max == 0) return true;
    }
    return true;
}

long Line::Write(const uint8_t* data, size_t n) {
    if (n == 0) return 0;
    ssize_t w = write(fd_, data, n);
    if (w < 0) return (errno == EAGAIN || errno == EINTR) ? 0 : -1;
    return w;
}

bool Line::SendControl(uint8_t byte) {
    const Clock::time_point end = After(2);
    for (;;) {
        long w = Write(&byte, 1);
        if (w == 1) return true;
        if (w < 0 || Clock::now() >= end) return false;
        pollfd p = {fd_, POLLOUT, 0};
        poll(&p, 1, 20);
    }
}

long Line::PendingForPc() const {
    int n = 0;
    if (IsPty()) return ioctl(ptySlave_, FIONREAD, &n) == 0 ? n : 0;
    return ioctl(fd_, TIOCOUTQ, &n) == 0 ? n : 0;
}

void Line::WatchOpenings(bool on) {
#if defined(EXTPROC) && defined(TIOCPKT_IOCTL)
    termios t;
    if (!IsPty() || tcgetattr(ptySlave_, &t) != 0) return;
    // EXTPROC makes packet mode report every change of settings. It also
    // turns off XON/XOFF on the PC's input, so it is on only while we wait.
    t.c_lflag = on ? t.c_lflag | EXTPROC : t.c_lflag & ~EXTPROC;
    std::deque<uint8_t> none;
    Read(&none, 0);  // what the PC did before counts as usual
    tcsetattr(ptySlave_, TCSANOW, &t);
    ownChange_ = true;  // the next notice is of this change
    Read(&none, 0);
    ownChange_ = false;
#else
    (void)on;  // openings are then known by the quiet after the flush
#endif
}

unsigned Line::OpenEvents() {
    // A PC that never changes the settings has opened once it has been quiet.
    if (opening_ && Clock::now() - flushedAt_ >= std::chrono::seconds(1)) {
        opening_ = false;
        ++openEvents_;
    }
    if (!IsPty()) {
        int lines = 0;
        bool up = ioctl(fd_, TIOCMGET, &lines) == 0 && (lines & (TIOCM_DSR | TIOCM_CD));
        if (up && !modemWasUp_) ++openEvents_;
        modemWasUp_ = up;
    }
    return openEvents_;
}

void Line::HoldBeforeOpen() {
    if (!IsPty()) return;
    // The kernel keeps a line stopped by XOFF stopped for as long as its
    // settings ask for XON/XOFF, across opens; the PC's own settings then
    // decide whether the hold reaches it.
    termios t;
    if (tcgetattr(ptySlave_, &t) == 0) {
        t.c_iflag |= IXON;
        t.c_cc[VSTART] = kXon;
        t.c_cc[VSTOP] = kXoff;
        tcsetattr(ptySlave_, TCSANOW, &t);
    }
    SendControl(kXoff);
}

Pacer::Pacer(double bytesPerSecond, Clock::time_point start, size_t burst)
    : perByte_(std::chrono::duration_cast<Clock::duration>(Duration(1.0 / bytesPerSecond))),
      burst_(burst ? burst : std::max<size_t>(1, static_cast<size_t>(0.010 * bytesPerSecond))),
      clock_(start) {}

size_t Pacer::Due(Clock::time_point now) const {
    if (now <= clock_) return 0;
    size_t n = static_cast<size_t>((now - clock_) / perByte_);
    return std::min(n, burst_);
}

void Pacer::Take(size_t n, Clock::time_point now) {
    // Time the line stood idle does not turn into a burst later. The floor
    // sits two bursts back, not one, so that a wake-up that comes a little
    // late is made up for instead of lost: otherwise every timer's lateness
    // would slow the line below its rate.
    const Clock::time_point floor = now - perByte_ * static_cast<long>(2 * burst_);
    if (clock_ < floor) clock_ = floor;
    clock_ += perByte_ * static_cast<long>(n);
}

Clock::time_point Pacer::NextDue() const { return clock_ + perByte_ * static_cast<long>(burst_); }

void InstallSignalHandling() {
    struct sigaction action = {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    for (int sig : kOurSignals) sigaction(sig, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
    sigset_t ours;
    sigemptyset(&ours);
    for (int sig : kOurSignals) sigaddset(&ours, sig);
    sigprocmask(SIG_BLOCK, &ours, &waitMask);
    for (int sig : kOurSignals) sigdelset(&waitMask, sig);
}

bool Interrupted() { return signalled != 0; }

void WatchStdin(bool on) { stdinWatched = on; }

bool TakeGo() {
    if (GoPending() == 0) return false;
    ++goTaken;
    return true;
}

void Wait(const Line& line, const WaitFor& what) {
    if (signalled || GoPending() > 0) return;
    fd_set readable, writable;
    FD_ZERO(&readable);
    FD_ZERO(&writable);
    if (what.lineIn) FD_SET(line.Fd(), &readable);
    if (what.lineOut) FD_SET(line.Fd(), &writable);
    const bool watchStdin = stdinWatched && !stdinClosed;
    if (watchStdin) FD_SET(STDIN_FILENO, &readable);
    timespec timeout{}, *limit = nullptr;
    if (what.deadline != Clock::time_point::max()) {
        auto left = std::max(Clock::duration::zero(), what.deadline - Clock::now());
        auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
        timeout = {static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
        limit = &timeout;
    }
    // The signals are let through only while we sleep here, so none is lost
    // between a test of the flags and the sleep.
    int r = pselect(std::max(line.Fd(), STDIN_FILENO) + 1, &readable, &writable, nullptr, limit, &waitMask);
    if (r > 0 && watchStdin && FD_ISSET(STDIN_FILENO, &readable)) ReadStdin();
}

void Say(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vfprintf(stdout, format, args);
    va_end(args);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void Linger(Line& line, double seconds) {
    std::deque<uint8_t> ignored;
    WaitFor rest;
    rest.deadline = After(seconds);
    while (Clock::now() < rest.deadline && !Interrupted()) {
        Wait(line, rest);
        line.Read(&ignored, SIZE_MAX);
    }
}

}  // namespace sim
