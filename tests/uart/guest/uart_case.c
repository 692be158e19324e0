/* In the test guest: runs velta for one case on one of the kernel's serial
 * drivers (8250, ftdi_sio, cdc-acm) and reports what the port did. A busybox background job starts with
 * SIGINT ignored and no terminal, so velta is started from here with
 * default signal handling and a pseudo-terminal as its console. The port is
 * opened here first and held, DTR dropped again, so its modem lines and
 * settings can be read while velta runs and after it has gone (a new open
 * would raise DTR again).
 *
 *   uart_case [-p SECONDS] [-i SECONDS] [-u SECONDS [-U COMMAND]] PORT CONSOLE_FILE -- velta args...
 *
 * -p: after SECONDS print "@@PROBE" with the line settings velta left on
 *     the port, whether it holds it exclusively (TIOCEXCL) and DTR; the host
 *     end then plays its part. -i: send SIGINT after SECONDS. -u: after SECONDS
 *     unplug the port: print "@@UNPLUG" (the host then takes the device
 *     away) or run COMMAND with /bin/sh (the guest does).
 * Prints "@@RESULT status=N dtr=BDA unplugged=S cpu=C" (DTR before, seen
 * while running, after: 0 or 1; the seconds from the unplug to velta's end,
 * -1 without one; velta's processor seconds) and writes velta's console output to CONSOLE_FILE. The port
 * is watched only while it exists. */
#define _GNU_SOURCE
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include "line_rate.h"

static double Now(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec + t.tv_nsec / 1e9;
}

static int Dtr(int fd) {
    int lines = 0;
    return ioctl(fd, TIOCMGET, &lines) == 0 && (lines & TIOCM_DTR) ? 1 : 0;
}

static void Probe(int fd) {
    struct termios t;
    int exclusive = -1;
#ifdef TIOCGEXCL
    if (ioctl(fd, TIOCGEXCL, &exclusive) != 0) exclusive = -1;
#endif
    if (tcgetattr(fd, &t) != 0) {
        printf("@@PROBE none\n");
    } else {
        printf("@@PROBE speed=%lu csize=%d parenb=%d cstopb=%d crtscts=%d ixon=%d ixoff=%d icanon=%d echo=%d opost=%d "
               "clocal=%d excl=%d dtr=%d\n",
               LineRateOf(cfgetospeed(&t)), (t.c_cflag & CSIZE) == CS8 ? 8 : 7, !!(t.c_cflag & PARENB),
               !!(t.c_cflag & CSTOPB), !!(t.c_cflag & CRTSCTS), !!(t.c_iflag & IXON), !!(t.c_iflag & IXOFF),
               !!(t.c_lflag & ICANON), !!(t.c_lflag & ECHO), !!(t.c_oflag & OPOST), !!(t.c_cflag & CLOCAL),
               exclusive, Dtr(fd));
    }
    fflush(stdout);
}

/* Lets go of the port first, so that the driver can let it go too. */
static void Unplug(const char* command, int* watch) {
    close(*watch);
    *watch = -1;
    printf("@@UNPLUG\n");
    fflush(stdout);
    if (!command) return;
    pid_t child = fork();
    if (child == 0) {
        execl("/bin/sh", "sh", "-c", command, (char*)NULL);
        _exit(127);
    }
}

int main(int argc, char** argv) {
    double probeAt = -1, interruptAt = -1, unplugAt = -1, unpluggedAt = -1;
    const char* unplugCommand = NULL;
    int opt;
    while ((opt = getopt(argc, argv, "p:i:u:U:")) != -1) {
        if (opt == 'p') probeAt = atof(optarg);
        else if (opt == 'i') interruptAt = atof(optarg);
        else if (opt == 'u') unplugAt = atof(optarg);
        else if (opt == 'U') unplugCommand = optarg;
        else return 2;
    }
    if (argc - optind < 3) return 2;
    const char* port = argv[optind];
    FILE* console = fopen(argv[optind + 1], "wb");
    char** command = argv + optind + 2;
    int watch = open(port, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (watch < 0 || !console) {
        printf("@@RESULT setup failed\n");
        return 1;
    }
    int dtr = TIOCM_DTR;
    ioctl(watch, TIOCMBIC, &dtr);  /* our own open raised it */
    const int before = Dtr(watch);
    int master = -1;
    pid_t pid = forkpty(&master, NULL, NULL, NULL);
    if (pid == 0) {
        struct termios raw;
        if (tcgetattr(0, &raw) == 0) {
            cfmakeraw(&raw);
            tcsetattr(0, TCSANOW, &raw);
        }
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, NULL);
        for (int sig = 1; sig < 32; ++sig) signal(sig, SIG_DFL);
        close(watch);
        execv(command[0], command);
        _exit(127);
    }
    const double start = Now();
    int during = 0, status = 0, ended = 0;
    struct rusage usage;
    memset(&usage, 0, sizeof usage);
    while (!ended) {
        struct pollfd p = {master, POLLIN, 0};
        if (poll(&p, 1, 5) > 0) {
            char buffer[4096];
            ssize_t n = read(master, buffer, sizeof buffer);
            if (n > 0) fwrite(buffer, 1, (size_t)n, console);
        }
        if (wait4(pid, &status, WNOHANG, &usage) == pid) ended = 1;
        if (!ended && watch >= 0) during |= Dtr(watch);
        const double t = Now() - start;
        if (probeAt >= 0 && t >= probeAt) {
            Probe(watch);
            probeAt = -1;
        }
        if (interruptAt >= 0 && t >= interruptAt) {
            kill(pid, SIGINT);
            interruptAt = -1;
        }
        if (unplugAt >= 0 && t >= unplugAt) {
            Unplug(unplugCommand, &watch);
            unpluggedAt = Now();
            unplugAt = -1;
        }
    }
    for (;;) { /* what the console still holds */
        char buffer[4096];
        ssize_t n = read(master, buffer, sizeof buffer);
        if (n <= 0) break;
        fwrite(buffer, 1, (size_t)n, console);
    }
    fclose(console);
    printf("@@RESULT status=%d dtr=%d%d%d unplugged=%.3f cpu=%.2f\n",
           WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), before, during,
           watch >= 0 ? Dtr(watch) : 0, unpluggedAt < 0 ? -1.0 : Now() - unpluggedAt,
           usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6);
    fflush(stdout);
    return 0;
}
