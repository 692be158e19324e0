// velta-bench: the tools of measurement (see bench_util.h).
#include "bench_util.h"
#include "sim_format.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <fstream>
#include <functional>
#include <iterator>
#include <stdexcept>

namespace bench {

double Now() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

void SleepSeconds(double seconds) {
    if (seconds <= 0) return;
    timespec t = {static_cast<time_t>(seconds), static_cast<long>((seconds - static_cast<time_t>(seconds)) * 1e9)};
    while (nanosleep(&t, &t) != 0 && errno == EINTR) {
    }
}

namespace {

int OpenNull() { return open("/dev/null", O_RDWR); }

[[noreturn]] void ExecChild(const std::vector<std::string>& argv, const ChildOptions& options) {
    const Stdio& io = options.stdio;
    int null = OpenNull();
    dup2(io.in >= 0 ? io.in : null, STDIN_FILENO);
    dup2(io.out >= 0 ? io.out : null, STDOUT_FILENO);
    dup2(io.err >= 0 ? io.err : null, STDERR_FILENO);
    if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) _exit(126);
    for (const std::string& e : options.env) putenv(const_cast<char*>(e.c_str()));
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    for (int sig : {SIGINT, SIGTERM, SIGQUIT, SIGHUP, SIGPIPE}) signal(sig, SIG_DFL);
    // Its own process group: a Ctrl+C at the bench's terminal is not the
    // signal being measured.
    setpgid(0, 0);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
}

double Seconds(const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; }

}  // namespace

Child::Child(const std::vector<std::string>& argv, const ChildOptions& options) {
    start_ = Now();
    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) ExecChild(argv, options);
    pidfd_ = static_cast<int>(syscall(SYS_pidfd_open, pid_, 0));
    if (pidfd_ < 0) throw std::runtime_error("pidfd_open failed");
}

Child::~Child() {
    if (!reaped_) {
        kill(pid_, SIGKILL);
        Wait(10);
    }
    if (pidfd_ >= 0) close(pidfd_);
}

void Child::Signal(int sig) const {
    if (!reaped_) kill(pid_, sig);
}

bool Child::Wait(double timeout) {
    if (reaped_) return true;
    const double deadline = Now() + timeout;
    for (;;) {
        pollfd p = {pidfd_, POLLIN, 0};
        double left = deadline - Now();
        int r = poll(&p, 1, left > 0 ? static_cast<int>(left * 1000) + 1 : 0);
        if (r > 0) break;
        if (r < 0 && errno == EINTR) continue;
        if (left <= 0) return false;
    }
    end_ = Now();
    rusage usage = {};
    if (wait4(pid_, &status_, 0, &usage) != pid_) return false;
    reaped_ = true;
    user_ = Seconds(usage.ru_utime);
    system_ = Seconds(usage.ru_stime);
    return true;
}

int Child::ExitCode() const {
    return reaped_ && WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
}

std::string Child::Status() const {
    if (!reaped_) return "running";
    if (WIFEXITED(status_)) return "status " + std::to_string(WEXITSTATUS(status_));
    return "signal " + std::to_string(WTERMSIG(status_));
}

bool LineReader::ReadSome(double timeout) {
    pollfd p = {fd_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(timeout * 1000) + 1) <= 0) return false;
    char buffer[4096];
    ssize_t n = read(fd_, buffer, sizeof buffer);
    if (n <= 0) return false;
    const double when = Now();
    pending_.append(buffer, static_cast<size_t>(n));
    all_.append(buffer, static_cast<size_t>(n));
    for (size_t end; (end = pending_.find('\n')) != std::string::npos;) {
        lines_.emplace_back(when, pending_.substr(0, end));
        pending_.erase(0, end + 1);
    }
    return true;
}

namespace {

bool StartsWithOneOf(const std::string& text, const std::vector<std::string>& prefixes) {
    for (const std::string& p : prefixes)
        if (text.compare(0, p.size(), p) == 0) return true;
    return false;
}

}  // namespace

bool LineReader::WaitFor(const std::vector<std::string>& prefixes, double timeout, std::string* line,
                         double* when) {
    const double deadline = Now() + timeout;
    for (;;) {
        for (; next_ < lines_.size(); ++next_) {
            if (!StartsWithOneOf(lines_[next_].second, prefixes)) continue;
            if (line) *line = lines_[next_].second;
            if (when) *when = lines_[next_].first;
            ++next_;
            return true;
        }
        double left = deadline - Now();
        if (left <= 0 || !ReadSome(left)) return false;
    }
}

Pty::Pty() {
    char name[128];
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0) throw std::runtime_error("openpty failed");
    fcntl(master, F_SETFD, FD_CLOEXEC);
    fcntl(slave, F_SETFD, FD_CLOEXEC);
    MakeRaw(slave);
    path = name;
}

Pty::~Pty() {
    close(master);
    close(slave);
}

Relay::Relay(int masterA, int masterB) : a_(masterA), b_(masterB) {
    if (pipe2(stop_, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    SetNonblocking(a_);
    SetNonblocking(b_);
    thread_ = std::thread([this] { Run(); });
}

Relay::~Relay() {
    char byte = 1;
    (void)!write(stop_[1], &byte, 1);
    thread_.join();
    close(stop_[0]);
    close(stop_[1]);
}

namespace {

// Moves what can move from one side to the other through a holding buffer.
void Pump(int from, int to, std::vector<uint8_t>* held) {
    uint8_t buffer[65536];
    if (held->size() < sizeof buffer) {
        ssize_t n = read(from, buffer, sizeof buffer - held->size());
        if (n > 0) held->insert(held->end(), buffer, buffer + n);
    }
    if (held->empty()) return;
    ssize_t w = write(to, held->data(), held->size());
    if (w > 0) held->erase(held->begin(), held->begin() + w);
}

}  // namespace

void Relay::Run() {
    std::vector<uint8_t> toB, toA;
    for (;;) {
        pollfd p[3] = {{a_, static_cast<short>(toB.size() < 65536 ? POLLIN : 0), 0},
                       {b_, static_cast<short>(toA.size() < 65536 ? POLLIN : 0), 0},
                       {stop_[0], POLLIN, 0}};
        if (!toA.empty()) p[0].events |= POLLOUT;
        if (!toB.empty()) p[1].events |= POLLOUT;
        if (poll(p, 3, 100) < 0 && errno != EINTR) return;
        if (p[2].revents) return;
        Pump(a_, b_, &toB);
        Pump(b_, a_, &toA);
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

void SetNonblocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }

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
bool ReadExactly(int fd, size_t n, double timeout, std::vector<uint8_t>* got, double* last,
                 const std::function<bool()>& writerGone) {
    const double deadline = Now() + timeout;
    std::vector<uint8_t> buffer(65536);
    bool lastLook = false;
    while (got->size() < n) {
        ssize_t r = read(fd, buffer.data(), std::min(buffer.size(), n - got->size()));
        if (r > 0) {
            got->insert(got->end(), buffer.begin(), buffer.begin() + r);
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

bool WriteAll(int fd, const std::vector<uint8_t>& data, double timeout, const std::function<bool()>& readerGone) {
    const double deadline = Now() + timeout;
    size_t done = 0;
    while (done < data.size()) {
        ssize_t w = write(fd, data.data() + done, std::min<size_t>(65536, data.size() - done));
        if (w > 0) {
            done += static_cast<size_t>(w);
            continue;
        }
        if (w < 0 && errno != EAGAIN && errno != EINTR) return false;
        double left = deadline - Now();
        if (left <= 0 || (readerGone && readerGone())) return false;
        pollfd p = {fd, POLLOUT, 0};
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

std::vector<uint8_t> PseudoRandomBytes(size_t n, uint32_t seed) {
    std::vector<uint8_t> out(n);
    uint32_t x = seed ? seed : 1;
    for (uint8_t& b : out) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<uint8_t>(x >> 7);
    }
    return out;
}

std::vector<uint8_t> TransferHeader(uint32_t totalSize, uint16_t load, uint16_t run) {
    sim::Header h = sim::BuildHeader(totalSize, load, run);  // the simulator's layout is the device's
    return std::vector<uint8_t>(h.begin(), h.end());
}

bool WriteFile(const std::string& path, const std::vector<uint8_t>& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
    return static_cast<bool>(out);
}

bool ReadFile(const std::string& path, std::vector<uint8_t>* data) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    data->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

long FileSize(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? static_cast<long>(st.st_size) : -1;
}

std::string FirstLineOf(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

std::string CommandOutput(const std::string& command) {
    std::string out;
    FILE* p = popen(command.c_str(), "r");
    if (!p) return out;
    char buffer[256];
    while (fgets(buffer, sizeof buffer, p)) out += buffer;
    pclose(p);
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
    return out;
}

}  // namespace bench
