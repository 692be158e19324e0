/* Preloaded (LD_PRELOAD) into Wine for the tests that use a pseudo-terminal
 * as a COM port. A pseudo-terminal has no modem lines: it refuses TIOCMGET,
 * TIOCMBIS, TIOCMBIC and TIOCMSET with ENOTTY, and Wine reads the lines while
 * it waits for a serial event, so WaitCommEvent would fail at once. For a
 * descriptor that refuses them this answers from a per-process record of the
 * output lines (DTR, RTS), with CTS, DSR and carrier always on, and appends
 * every change of DTR ("1" or "0", one a line) to the file named by
 * VELTA_SHIM_DTR_LOG. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <unistd.h>

static int outputLines; /* TIOCM_DTR | TIOCM_RTS as last set */

static int (*RealIoctl(void))(int, unsigned long, ...) {
    static int (*real)(int, unsigned long, ...);
    if (!real) real = (int (*)(int, unsigned long, ...))dlsym(RTLD_NEXT, "ioctl");
    return real;
}

static int IsModemRequest(unsigned long request) {
    return request == TIOCMGET || request == TIOCMBIS || request == TIOCMBIC || request == TIOCMSET;
}

static void RecordDtr(int dtrOn) {
    const char* path = getenv("VELTA_SHIM_DTR_LOG");
    if (!path) return;
    int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return;
    (void)!write(fd, dtrOn ? "1\n" : "0\n", 2);
    close(fd);
}

static void SetOutputLines(int lines) {
    lines &= TIOCM_DTR | TIOCM_RTS;
    int before = __atomic_exchange_n(&outputLines, lines, __ATOMIC_SEQ_CST);
    if ((before ^ lines) & TIOCM_DTR) RecordDtr((lines & TIOCM_DTR) != 0);
}

static int EmulateModem(unsigned long request, int* arg) {
    int lines = __atomic_load_n(&outputLines, __ATOMIC_SEQ_CST);
    switch (request) {
        case TIOCMGET: *arg = lines | TIOCM_CTS | TIOCM_DSR | TIOCM_CAR; return 0;
        case TIOCMBIS: SetOutputLines(lines | *arg); return 0;
        case TIOCMBIC: SetOutputLines(lines & ~*arg); return 0;
        default: SetOutputLines(*arg); return 0;
    }
}

int ioctl(int fd, unsigned long request, ...) {
    va_list args;
    va_start(args, request);
    void* arg = va_arg(args, void*);
    va_end(args);
    int saved = errno;
    int result = RealIoctl()(fd, request, arg);
    if (result == -1 && (errno == ENOTTY || errno == EINVAL) && IsModemRequest(request) && arg) {
        errno = saved;
        return EmulateModem(request, (int*)arg);
    }
    return result;
}
