/* Preloaded (LD_PRELOAD, after modem_shim.so) into Wine for the cases that
 * look at how the program waits for its output to leave. A pseudo-terminal
 * takes every byte at once and reports an empty output queue; here every
 * byte written to a terminal the program has set up with tcsetattr leaves
 * the line one character time after the one before it, and TIOCOUTQ (what
 * Wine's ClearCommError asks) reports the bytes not yet gone beyond a
 * transmit FIFO of VELTA_QUEUE_FIFO bytes (default 0: every byte counts
 * until its character time has passed).
 *
 * It keeps two numbers in the file named by VELTA_QUEUE_LOG, rewritten in
 * place at every change (the process may end without running exit code):
 * how many TIOCOUTQ requests the program made, and how many microseconds of
 * output were still on the line when DTR was dropped:
 *   "outq 1234\ntail 0\n" */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "line_rate.h"
#include "shim.h"

#define MAX_FDS 1024

static long long charNs[MAX_FDS];     /* 0: not a port we model */
static long long lineFreeNs[MAX_FDS]; /* when the last byte written has left */
static long outqRequests;
static long long tailUs;

static long Fifo(void) {
    const char* text = getenv("VELTA_QUEUE_FIFO");
    return text ? atol(text) : 0;
}

static int Modelled(int fd) { return fd >= 0 && fd < MAX_FDS && charNs[fd] > 0; }

static void Publish(void) {
    const char* path = getenv("VELTA_QUEUE_LOG");
    if (!path) return;
    static int fd = -1;
    if (fd < 0) fd = open(path, O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return;
    char text[64];
    int length = snprintf(text, sizeof text, "outq %ld\ntail %lld\n", outqRequests, tailUs);
    (void)!pwrite(fd, text, (size_t)length, 0);
    (void)!ftruncate(fd, length);
}

int tcsetattr(int fd, int actions, const struct termios* t) {
    int result = NEXT(tcsetattr)(fd, actions, t);
    /* The bytes already written keep their times: only later ones change rate. */
    if (result == 0 && fd >= 0 && fd < MAX_FDS) charNs[fd] = LineCharacterNsOf(t);
    return result;
}

ssize_t write(int fd, const void* data, size_t n) {
    ssize_t written = NEXT(write)(fd, data, n);
    if (written > 0 && Modelled(fd)) {
        long long now = NowNs();
        long long start = lineFreeNs[fd] > now ? lineFreeNs[fd] : now;
        lineFreeNs[fd] = start + written * charNs[fd];
    }
    return written;
}

int close(int fd) {
    if (fd >= 0 && fd < MAX_FDS) charNs[fd] = lineFreeNs[fd] = 0;
    return NEXT(close)(fd);
}

static int DropsDtr(unsigned long request, const int* arg) {
    return arg && (((request == TIOCMBIC) && (*arg & TIOCM_DTR)) || (request == TIOCMSET && !(*arg & TIOCM_DTR)));
}

int ShimIoctl(int fd, unsigned long request, void* arg) {
    if (Modelled(fd) && DropsDtr(request, (const int*)arg)) {
        long long left = lineFreeNs[fd] - NowNs();
        if (left / 1000 > tailUs) tailUs = left / 1000;
        Publish();
    }
    int result = RealIoctl(fd, request, arg);
    if (result == 0 && request == TIOCOUTQ && arg && Modelled(fd)) {
        long long left = lineFreeNs[fd] - NowNs();
        long pending = left > 0 ? (long)((left + charNs[fd] - 1) / charNs[fd]) : 0;
        long queued = pending > Fifo() ? pending - Fifo() : 0;
        if (queued > *(int*)arg) *(int*)arg = (int)queued;
        ++outqRequests;
        Publish();
    }
    return result;
}
