/* Preloaded (LD_PRELOAD) by the benchmarks into velta, or into VELTA.exe
 * under Wine: gives a pseudo-terminal the output queue of a UART. A
 * pseudo-terminal takes every byte at once and always reports an empty
 * output queue (TIOCOUTQ 0), so a sender that waits for the queue to drain
 * never waits there, and its cost on a real port cannot be seen.
 *
 * Here every byte written to a terminal that the program has set up with
 * tcsetattr leaves the line one character time (start, data, parity and
 * stop bits at the output rate set) after the one before it. Like a 16550A,
 * the UART holds up to VELTA_UART_FIFO bytes (default 16) in its transmit
 * FIFO; TIOCOUTQ reports the bytes not yet on the line beyond those, as the
 * Linux serial drivers do. The bytes themselves still reach the other end
 * at once; only what the program is told about its queue changes. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdarg.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#define MAX_FDS 1024

static long long charNs[MAX_FDS];     /* 0: not a port we emulate */
static long long lineFreeNs[MAX_FDS]; /* when the last byte written has left */

static long long NowNs(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (long long)t.tv_sec * 1000000000LL + t.tv_nsec;
}

static long Rate(speed_t speed) {
    switch (speed) {
        case B300: return 300;
        case B600: return 600;
        case B1200: return 1200;
        case B2400: return 2400;
        case B4800: return 4800;
        case B9600: return 9600;
        case B19200: return 19200;
        case B38400: return 38400;
        case B57600: return 57600;
        case B115200: return 115200;
        default: return 0;
    }
}

static long long CharacterNs(const struct termios* t) {
    long rate = Rate(cfgetospeed(t));
    if (rate == 0) return 0;
    int dataBits = (t->c_cflag & CSIZE) == CS5 ? 5 : (t->c_cflag & CSIZE) == CS6 ? 6 : (t->c_cflag & CSIZE) == CS7 ? 7 : 8;
    int bits = 1 + dataBits + ((t->c_cflag & PARENB) ? 1 : 0) + ((t->c_cflag & CSTOPB) ? 2 : 1);
    return bits * 1000000000LL / rate;
}

static int Fifo(void) {
    static int fifo = -1;
    if (fifo < 0) {
        const char* text = getenv("VELTA_UART_FIFO");
        fifo = text ? atoi(text) : 16;
        if (fifo < 0) fifo = 0;
    }
    return fifo;
}

static int Emulated(int fd) { return fd >= 0 && fd < MAX_FDS && charNs[fd] > 0; }

int tcsetattr(int fd, int actions, const struct termios* t) {
    static int (*real)(int, int, const struct termios*);
    if (!real) real = (int (*)(int, int, const struct termios*))dlsym(RTLD_NEXT, "tcsetattr");
    int result = real(fd, actions, t);
    if (result == 0 && fd >= 0 && fd < MAX_FDS) {
        charNs[fd] = CharacterNs(t);
        lineFreeNs[fd] = 0;
    }
    return result;
}

ssize_t write(int fd, const void* data, size_t n) {
    static ssize_t (*real)(int, const void*, size_t);
    if (!real) real = (ssize_t (*)(int, const void*, size_t))dlsym(RTLD_NEXT, "write");
    ssize_t written = real(fd, data, n);
    if (written > 0 && Emulated(fd)) {
        long long now = NowNs();
        long long start = lineFreeNs[fd] > now ? lineFreeNs[fd] : now;
        lineFreeNs[fd] = start + written * charNs[fd];
    }
    return written;
}

int close(int fd) {
    static int (*real)(int);
    if (!real) real = (int (*)(int))dlsym(RTLD_NEXT, "close");
    if (fd >= 0 && fd < MAX_FDS) charNs[fd] = 0;
    return real(fd);
}

int ioctl(int fd, unsigned long request, ...) {
    static int (*real)(int, unsigned long, ...);
    if (!real) real = (int (*)(int, unsigned long, ...))dlsym(RTLD_NEXT, "ioctl");
    va_list args;
    va_start(args, request);
    void* arg = va_arg(args, void*);
    va_end(args);
    int result = real(fd, request, arg);
    if (result == 0 && request == TIOCOUTQ && arg && Emulated(fd)) {
        long long left = lineFreeNs[fd] - NowNs();
        long pending = left > 0 ? (long)((left + charNs[fd] - 1) / charNs[fd]) : 0;
        long queued = pending > Fifo() ? pending - Fifo() : 0;
        if (queued > *(int*)arg) *(int*)arg = (int)queued;
    }
    return result;
}
