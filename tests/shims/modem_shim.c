/* Preloaded (LD_PRELOAD) into Wine for the tests that use a pseudo-terminal
 * as a COM port. A pseudo-terminal has no modem lines: it refuses TIOCMGET,
 * TIOCMBIS, TIOCMBIC and TIOCMSET with ENOTTY, and Wine reads the lines while
 * it waits for a serial event, so WaitCommEvent would fail at once. For a
 * descriptor that refuses them this answers from a per-process record of the
 * output lines (DTR, RTS), with CTS, DSR and carrier always on.
 *
 * For the tests it also appends events, one a line, to the file named by
 * VELTA_SHIM_LOG: "DTR 1" and "DTR 0" when DTR changes (with VELTA_SHIM_RTS
 * set, "RTS 1" and "RTS 0" too, after DTR's), and "WAIT" when Wine
 * sets up a wait for serial events (the only time it asks for the interrupt
 * counters, TIOCGICOUNT). Repeats are left out until input has been seen
 * queued (FIONREAD above 0), so each "WAIT" tells a test that the program is
 * waiting with everything that arrived before taken. */
#define _GNU_SOURCE
#include <errno.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "shim.h"

static int outputLines; /* TIOCM_DTR | TIOCM_RTS as last set */
static int waitRecorded; /* "WAIT" is the last line recorded */

static int IsModemRequest(unsigned long request) {
    return request == TIOCMGET || request == TIOCMBIS || request == TIOCMBIC || request == TIOCMSET;
}

static void RecordLine(const char* name, int on) {
    __atomic_store_n(&waitRecorded, 0, __ATOMIC_SEQ_CST);
    AppendToLog("VELTA_SHIM_LOG", "%s %d\n", name, on);
}

static void SetOutputLines(int lines) {
    lines &= TIOCM_DTR | TIOCM_RTS;
    int before = __atomic_exchange_n(&outputLines, lines, __ATOMIC_SEQ_CST);
    if ((before ^ lines) & TIOCM_DTR) RecordLine("DTR", (lines & TIOCM_DTR) != 0);
    if (((before ^ lines) & TIOCM_RTS) && getenv("VELTA_SHIM_RTS")) RecordLine("RTS", (lines & TIOCM_RTS) != 0);
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

/* With VELTA_SHIM_PLAIN_TERMINAL set, Wine is not told that the standard
 * streams are terminals, so it hands a terminal on standard output to the
 * program as a character device instead of putting its own console (which
 * redraws the text with cursor controls) in between. */
int isatty(int fd) {
    if (fd <= 2 && getenv("VELTA_SHIM_PLAIN_TERMINAL")) {
        errno = ENOTTY;
        return 0;
    }
    return NEXT(isatty)(fd);
}

int ShimIoctl(int fd, unsigned long request, void* arg) {
    int saved = errno;
    if (request == TIOCGICOUNT && !__atomic_exchange_n(&waitRecorded, 1, __ATOMIC_SEQ_CST)) AppendToLog("VELTA_SHIM_LOG", "WAIT\n");
    int result = RealIoctl(fd, request, arg);
    if (request == FIONREAD && result == 0 && arg && *(int*)arg > 0)
        __atomic_store_n(&waitRecorded, 0, __ATOMIC_SEQ_CST);
    if (result == -1 && (errno == ENOTTY || errno == EINVAL) && IsModemRequest(request) && arg) {
        errno = saved;
        return EmulateModem(request, (int*)arg);
    }
    return result;
}
