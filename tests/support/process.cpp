// Test support: child processes with their output, exit status and a
// time-out that kills instead of hanging the suite.
#include "process.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <stdexcept>

#include "pty_pair.h"

namespace {

double Now() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

[[noreturn]] void ExecChild(const std::vector<std::string>& argv, const ProcessOptions& options, int outFd,
                            int errFd) {
    dup2(outFd, STDOUT_FILENO);
    dup2(errFd, STDERR_FILENO);
    int devNull = open("/dev/null", O_RDWR);
    dup2(devNull, STDIN_FILENO);
    if (!options.workingDirectory.empty() && chdir(options.workingDirectory.c_str()) != 0) _exit(126);
    for (const std::string& e : options.env) putenv(const_cast<char*>(e.c_str()));
    // The test runner may block or ignore signals; the program must start clean.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    for (int sig : {SIGINT, SIGTERM, SIGQUIT, SIGHUP, SIGPIPE}) signal(sig, SIG_DFL);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
}

}  // namespace

Process::Process(const std::vector<std::string>& argv, const ProcessOptions& options) {
    int readFd = -1, writeFd = -1;
    if (options.terminal) {
        if (openpty(&readFd, &writeFd, nullptr, nullptr, nullptr) != 0) throw std::runtime_error("openpty");
        MakeRaw(writeFd);
    } else {
        int fds[2];
        if (pipe(fds) != 0) throw std::runtime_error("pipe");
        readFd = fds[0];
        writeFd = fds[1];
    }
    int errPipe[2];
    if (pipe(errPipe) != 0) throw std::runtime_error("pipe");
    fcntl(readFd, F_SETFD, FD_CLOEXEC);
    fcntl(errPipe[0], F_SETFD, FD_CLOEXEC);
    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("fork");
    if (pid_ == 0) ExecChild(argv, options, writeFd, errPipe[1]);
    close(writeFd);
    close(errPipe[1]);
    outFd_ = readFd;
    errFd_ = errPipe[0];
}

Process::~Process() {
    if (!reaped_) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    close(outFd_);
    close(errFd_);
}

void Process::Signal(int sig) { kill(pid_, sig); }

void Process::Drain(int timeoutMs) {
    pollfd p[2] = {{outFd_, POLLIN, 0}, {errFd_, POLLIN, 0}};
    if (poll(p, 2, timeoutMs) <= 0) return;
    char buffer[4096];
    std::string* into[2] = {&result_.output, &result_.errors};
    for (int i = 0; i < 2; ++i) {
        if (!(p[i].revents & (POLLIN | POLLHUP))) continue;
        ssize_t n = read(p[i].fd, buffer, sizeof buffer);
        if (n > 0) into[i]->append(buffer, static_cast<size_t>(n));
    }
}

bool Process::WaitForOutput(const std::string& text, double timeoutSeconds) {
    const double end = Now() + timeoutSeconds;
    while (result_.output.find(text) == std::string::npos) {
        if (Now() >= end) return false;
        Drain(50);
    }
    return true;
}

ProcessResult Process::Wait(double timeoutSeconds) {
    const double end = Now() + timeoutSeconds;
    int status = 0;
    while (!reaped_) {
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            reaped_ = true;
            break;
        }
        if (Now() >= end) {
            result_.timedOut = true;
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
            reaped_ = true;
            break;
        }
        Drain(20);
    }
    // What is left in the pipe or terminal after the exit.
    for (;;) {
        size_t before = result_.output.size() + result_.errors.size();
        Drain(0);
        if (result_.output.size() + result_.errors.size() == before) break;
    }
    if (WIFEXITED(status)) result_.exitCode = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) result_.signal = WTERMSIG(status);
    return result_;
}

ProcessResult RunProcess(const std::vector<std::string>& argv, const ProcessOptions& options,
                         double timeoutSeconds) {
    Process process(argv, options);
    return process.Wait(timeoutSeconds);
}
