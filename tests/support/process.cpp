// Test kit: child processes with their output, exit status, times and a
// time-out that kills instead of hanging the suite.
#include "process.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <fstream>
#include <stdexcept>

#include "pty_pair.h"

double Now() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

namespace {

[[noreturn]] void ExecChild(const std::vector<std::string>& argv, const ProcessOptions& options, int outFd,
                            int errFd) {
    const int devNull = open("/dev/null", O_RDWR);
    if (options.console) {
        setsid();
        ioctl(outFd, TIOCSCTTY, 0);
    }
    dup2(options.console ? outFd : options.stdinFd >= 0 ? options.stdinFd : devNull, STDIN_FILENO);
    dup2(outFd, STDOUT_FILENO);
    dup2(options.console ? outFd : errFd, STDERR_FILENO);
    if (!options.workingDirectory.empty() && chdir(options.workingDirectory.c_str()) != 0) _exit(126);
    for (const std::string& e : options.env) putenv(const_cast<char*>(e.c_str()));
    // The test runner may block or ignore signals; the program must start clean.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    for (int sig : {SIGINT, SIGTERM, SIGQUIT, SIGHUP, SIGPIPE}) signal(sig, SIG_DFL);
    if (options.ownProcessGroup) setpgid(0, 0);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
}

double Seconds(const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; }

}  // namespace

Process::Process(const std::vector<std::string>& argv, const ProcessOptions& options) {
    int readFd = -1, writeFd = options.stdoutFd;
    winsize size = {24, 80, 0, 0};
    if (writeFd < 0 && (options.terminal || options.console)) {
        if (openpty(&readFd, &writeFd, nullptr, nullptr, &size) != 0) throw std::runtime_error("openpty");
        if (!options.console) MakeRaw(writeFd);
    } else if (writeFd < 0) {
        int fds[2];
        if (pipe(fds) != 0) throw std::runtime_error("pipe");
        readFd = fds[0];
        writeFd = fds[1];
    }
    int errPipe[2];
    if (pipe(errPipe) != 0) throw std::runtime_error("pipe");
    if (readFd >= 0) fcntl(readFd, F_SETFD, FD_CLOEXEC);
    fcntl(errPipe[0], F_SETFD, FD_CLOEXEC);
    start_ = Now();
    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("fork");
    if (pid_ == 0) ExecChild(argv, options, writeFd, errPipe[1]);
    pidFd_ = static_cast<int>(syscall(SYS_pidfd_open, pid_, 0));
    if (readFd >= 0) close(writeFd);
    close(errPipe[1]);
    outFd_ = readFd;
    errFd_ = errPipe[0];
}

Process::~Process() {
    if (!reaped_) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    for (int fd : {outFd_, errFd_, pidFd_})
        if (fd >= 0) close(fd);
}

void Process::Signal(int sig) {
    if (!reaped_) kill(pid_, sig);
}

bool Process::Poll(double timeoutSeconds) {
    pollfd p[3] = {{outFd_, POLLIN, 0}, {errFd_, POLLIN, 0}, {reaped_ ? -1 : pidFd_, POLLIN, 0}};
    const int ms = timeoutSeconds > 0 ? static_cast<int>(timeoutSeconds * 1000) + 1 : 0;
    if (poll(p, 3, pidFd_ < 0 && !reaped_ ? std::min(ms, 20) : ms) <= 0 && pidFd_ >= 0) return false;
    bool read = false;
    char buffer[4096];
    std::string* into[2] = {&result_.output, &result_.errors};
    for (int i = 0; i < 2; ++i) {
        if (!(p[i].revents & (POLLIN | POLLHUP))) continue;
        ssize_t n = ::read(p[i].fd, buffer, sizeof buffer);
        if (n <= 0) continue;
        into[i]->append(buffer, static_cast<size_t>(n));
        if (i == 0) outputTimes_.emplace_back(result_.output.size(), Now());
        read = true;
    }
    // Without a pidfd (an old kernel) the exit is looked for at each poll.
    if (!reaped_ && (pidFd_ < 0 || (p[2].revents & POLLIN))) {
        int status = 0;
        rusage usage = {};
        if (wait4(pid_, &status, pidFd_ < 0 ? WNOHANG : 0, &usage) == pid_) {
            end_ = Now();
            reaped_ = true;
            cpu_ = Seconds(usage.ru_utime) + Seconds(usage.ru_stime);
            if (WIFEXITED(status)) result_.exitCode = WEXITSTATUS(status);
            if (WIFSIGNALED(status)) result_.signal = WTERMSIG(status);
        }
    }
    return read;
}

bool Process::ReadSome(double timeoutSeconds) {
    for (const double end = Now() + timeoutSeconds;;) {
        if (Poll(end - Now())) return true;
        if (reaped_ || Now() >= end) return false;
    }
}

bool Process::Type(const std::string& keys) { return WriteAll(outFd_, keys); }

bool Process::WaitFor(const std::string& text, bool onErrors, double timeoutSeconds) {
    const double end = Now() + timeoutSeconds;
    const std::string& stream = onErrors ? result_.errors : result_.output;
    while (stream.find(text) == std::string::npos) {
        // Once it has ended and nothing more comes, the text never will.
        if (Now() >= end || (!Poll(0.05) && reaped_)) return stream.find(text) != std::string::npos;
    }
    return true;
}

bool Process::WaitForOutput(const std::string& text, double timeoutSeconds) {
    return WaitFor(text, false, timeoutSeconds);
}

bool Process::WaitForErrors(const std::string& text, double timeoutSeconds) {
    return WaitFor(text, true, timeoutSeconds);
}

bool Process::WaitForState(char wanted, double timeoutSeconds) {
    for (const double end = Now() + timeoutSeconds; Now() < end && !reaped_; Poll(0.01)) {
        std::ifstream stat("/proc/" + std::to_string(pid_) + "/stat");
        std::string pid, name, state;
        if (stat >> pid >> name >> state && state == std::string(1, wanted)) return true;
    }
    return false;
}

bool Process::Ended(double timeoutSeconds) {
    for (const double end = Now() + timeoutSeconds; !reaped_;) {
        const double left = end - Now();
        Poll(left > 0 ? left : 0);
        if (Now() >= end) break;
    }
    return reaped_;
}

ProcessResult Process::Wait(double timeoutSeconds) {
    if (!Ended(timeoutSeconds)) {
        result_.timedOut = true;
        kill(pid_, SIGKILL);
        Ended(60);
    }
    // What is left in the pipe or terminal after the exit.
    while (Poll(0)) {
    }
    return result_;
}

std::string Process::Status() const {
    if (!reaped_) return "running";
    return result_.signal ? "signal " + std::to_string(result_.signal) : "status " + std::to_string(result_.exitCode);
}

ProcessResult RunProcess(const std::vector<std::string>& argv, const ProcessOptions& options,
                         double timeoutSeconds) {
    Process process(argv, options);
    return process.Wait(timeoutSeconds);
}

std::vector<std::string> Joined(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
