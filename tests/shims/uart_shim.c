/* Preloaded (LD_PRELOAD) by the benchmarks and the tests into velta, or into
 * VELTA.exe under Wine (before modem_shim.so, which then still sees every
 * change of the modem lines): gives a pseudo-terminal the output queue, line
 * status and modem lines of a real port. A pseudo-terminal takes every byte
 * at once, always reports an empty output queue (TIOCOUTQ 0) and has no
 * modem lines, so a sender that waits for the queue to drain never waits
 * there, and the moment DTR drops cannot be seen.
 *
 * Here every byte written to a terminal that the program has set up with
 * tcsetattr leaves the line one character time (start, data, parity and
 * stop bits at the output rate set) after the one before it, in one of three
 * models (VELTA_UART_MODEL):
 *   uart (default)  a 16550A: the UART holds up to VELTA_UART_FIFO bytes
 *                   (default 16) in its transmit FIFO; TIOCOUTQ reports the
 *                   bytes not yet on the line beyond those, as the Linux
 *                   serial drivers do.
 *   usb             a USB adapter: each write is carried to the adapter by a
 *                   USB transfer that completes at the next 1 ms frame after
 *                   125 us; until then its bytes count in TIOCOUTQ, as the
 *                   usb-serial drivers count them; then they sit in the
 *                   adapter's FIFO, which nobody counts, and leave at the
 *                   line rate.
 *   acm             the same transfers, counted as cdc-acm counts them: its
 *                   whole write-buffer size (10240) for each write still in
 *                   flight, however few bytes it carried; and the driver
 *                   that sysfs names for the terminal is cdc_acm.
 * With VELTA_UART_HOLD=N the device holds the line (CTS low, or XOFF) once
 * N bytes have left it: the rest stay where they are, as bytes to leave.
 * With VELTA_UART_LSR=1, TIOCSERGETLSR reports TIOCSER_TEMT once the last
 * byte has left the line. TIOCMBIS, TIOCMBIC and TIOCMSET succeed; with
 * VELTA_UART_LOG=FILE every change of DTR, and every request that drops it,
 * is written there with the bytes still to leave at that moment
 * ("dtr 0 pending 16"), and at close the most
 * bytes that were ever on their way at once ("largest 16") and how long the
 * line carried the bytes written, from the first write to the last byte
 * gone ("sent 16400 bytes in 4300000 us").
 * With VELTA_UART_ASKED=FILE, FILE holds how many TIOCOUTQ requests the
 * program made ("outq 1234"), rewritten in place at each (the process may
 * end without running exit code).
 * The bytes themselves still reach the other end at once; only what the
 * program is told about its port changes. */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "line_rate.h"
#include "shim.h"

#define MAX_FDS 1024
#define MAX_TRANSFERS 512
#define FRAME_NS 1000000LL
#define USB_LATENCY_NS 125000LL
#define ACM_BUFFER 10240L

struct Transfer {
    long long done; /* when it reaches the adapter */
    long count;
};

struct Port {
    long long charNs;   /* 0: not a port we emulate */
    long long lineFree; /* when the last byte handed to the line has left */
    struct Transfer transfers[MAX_TRANSFERS]; /* usb: in flight, oldest first */
    int first, used;
    long inFlight;
    int dtr;
    long largest;
    long handed;          /* every byte written */
    long long firstWrite; /* when the first of them was */
};

static struct Port ports[MAX_FDS];
static long outqRequests;

/* The number the variable holds, or `otherwise` when it is not set. */
static long Setting(const char* variable, long otherwise) {
    const char* text = getenv(variable);
    return text ? atol(text) : otherwise;
}

static long Fifo(void) {
    static long fifo = -1;
    if (fifo < 0) fifo = Setting("VELTA_UART_FIFO", 16);
    return fifo < 0 ? 0 : fifo;
}

static const char* Model(void) {
    const char* model = getenv("VELTA_UART_MODEL");
    return model ? model : "uart";
}

/* Both USB models carry each write in a USB transfer. */
static int Usb(void) { return strcmp(Model(), "usb") == 0 || strcmp(Model(), "acm") == 0; }

static int WholeBuffers(void) { return strcmp(Model(), "acm") == 0; }

static int Lsr(void) { return Setting("VELTA_UART_LSR", 0) == 1; }

static struct Port* Emulated(int fd) {
    return fd >= 0 && fd < MAX_FDS && ports[fd].charNs > 0 ? &ports[fd] : NULL;
}

/* usb: the transfers that have reached the adapter by now go to its FIFO. */
static void Deliver(struct Port* p, long long now) {
    while (p->used > 0 && p->transfers[p->first].done <= now) {
        struct Transfer* t = &p->transfers[p->first];
        long long start = p->lineFree > t->done ? p->lineFree : t->done;
        p->lineFree = start + t->count * p->charNs;
        p->inFlight -= t->count;
        p->first = (p->first + 1) % MAX_TRANSFERS;
        --p->used;
    }
}

static long Hold(void) { return Setting("VELTA_UART_HOLD", -1); }

/* Bytes handed over and not yet on the line (in flight, in a FIFO or queue). */
static long Pending(struct Port* p, long long now) {
    Deliver(p, now);
    long long left = p->lineFree - now;
    long pending = (left > 0 ? (long)((left + p->charNs - 1) / p->charNs) : 0) + p->inFlight;
    long hold = Hold();
    if (hold >= 0 && p->handed - pending > hold) pending = p->handed - hold;
    return pending;
}

/* What the driver counts in TIOCOUTQ. */
static long Counted(struct Port* p, long long now) {
    long pending = Pending(p, now);
    if (WholeBuffers()) return p->used * ACM_BUFFER;
    if (Usb()) return p->inFlight;
    return pending > Fifo() ? pending - Fifo() : 0;
}

static void SetDtr(struct Port* p, int on) {
    if (p->dtr == on && on) return;
    p->dtr = on;
    AppendToLog("VELTA_UART_LOG", "dtr %d pending %ld\n", on, Pending(p, NowNs()));
}

int tcsetattr(int fd, int actions, const struct termios* t) {
    int result = NEXT(tcsetattr)(fd, actions, t);
    if (result == 0 && fd >= 0 && fd < MAX_FDS) {
        struct Port* p = &ports[fd];
        if (p->charNs == 0) memset(p, 0, sizeof *p);
        p->charNs = LineCharacterNsOf(t);
    }
    return result;
}

ssize_t write(int fd, const void* data, size_t n) {
    ssize_t written = NEXT(write)(fd, data, n);
    struct Port* p = Emulated(fd);
    if (written <= 0 || !p) return written;
    long long now = NowNs();
    if (p->handed == 0) p->firstWrite = now;
    p->handed += written;
    if (Usb()) {
        Deliver(p, now);
        long long done = (now + USB_LATENCY_NS + FRAME_NS - 1) / FRAME_NS * FRAME_NS;
        if (p->used > 0) {
            long long last = p->transfers[(p->first + p->used - 1) % MAX_TRANSFERS].done;
            if (done < last) done = last;
        }
        if (p->used == MAX_TRANSFERS) { /* never in practice: join the last one */
            p->transfers[(p->first + p->used - 1) % MAX_TRANSFERS].count += written;
        } else {
            p->transfers[(p->first + p->used) % MAX_TRANSFERS] = (struct Transfer){done, written};
            ++p->used;
        }
        p->inFlight += written;
    } else {
        long long start = p->lineFree > now ? p->lineFree : now;
        p->lineFree = start + written * p->charNs;
    }
    long pending = Pending(p, now);
    if (pending > p->largest) p->largest = pending;
    return written;
}

/* acm: the driver of every terminal in sysfs is cdc_acm, so that the
 * program treats the pseudo-terminal as such a port. */
ssize_t readlink(const char* path, char* target, size_t size) {
    static const char prefix[] = "/sys/class/tty/", suffix[] = "/device/driver", driver[] = "../cdc_acm";
    const size_t n = strlen(path);
    if (WholeBuffers() && strncmp(path, prefix, sizeof prefix - 1) == 0 && n >= sizeof suffix - 1 &&
        strcmp(path + n - (sizeof suffix - 1), suffix) == 0) {
        const size_t length = sizeof driver - 1 < size ? sizeof driver - 1 : size;
        memcpy(target, driver, length);
        return (ssize_t)length;
    }
    return NEXT(readlink)(path, target, size);
}

int close(int fd) {
    struct Port* p = Emulated(fd);
    if (p) {
        AppendToLog("VELTA_UART_LOG", "largest %ld\n", p->largest);
        Deliver(p, 0x7FFFFFFFFFFFFFFFLL);  /* what is in flight still goes */
        if (p->handed)
            AppendToLog("VELTA_UART_LOG", "sent %ld bytes in %lld us\n", p->handed, (p->lineFree - p->firstWrite) / 1000);
        p->charNs = 0;
    }
    return NEXT(close)(fd);
}

static void CountRequest(void) {
    static int fd = -2;
    if (fd == -2) {
        const char* path = getenv("VELTA_UART_ASKED");
        fd = path ? open(path, O_WRONLY | O_CREAT | O_CLOEXEC, 0644) : -1;
    }
    if (fd < 0) return;
    char text[32];
    const int length = snprintf(text, sizeof text, "outq %ld\n", ++outqRequests);
    (void)!pwrite(fd, text, (size_t)length, 0);
}

int ShimIoctl(int fd, unsigned long request, void* arg) {
    struct Port* p = Emulated(fd);
    if (p && arg) {
        switch (request) {
            case TIOCMBIS:
            case TIOCMBIC:
            case TIOCMSET: {
                int lines = *(int*)arg;
                if (request == TIOCMSET) SetDtr(p, (lines & TIOCM_DTR) != 0);
                else if (lines & TIOCM_DTR) SetDtr(p, request == TIOCMBIS);
                RealIoctl(fd, request, arg);  /* for a modem-line shim behind this one */
                return 0;
            }
            case TIOCMGET:
                *(int*)arg = (p->dtr ? TIOCM_DTR : 0) | TIOCM_RTS | TIOCM_CTS | TIOCM_DSR | TIOCM_CAR;
                return 0;
            case TIOCSERGETLSR:
                if (!Lsr()) break;
                *(unsigned int*)arg = Pending(p, NowNs()) == 0 ? TIOCSER_TEMT : 0;
                return 0;
            default:
                break;
        }
    }
    int result = RealIoctl(fd, request, arg);
    if (result == 0 && request == TIOCOUTQ && arg && p) {
        long queued = Counted(p, NowNs());
        if (queued > *(int*)arg) *(int*)arg = (int)queued;
        CountRequest();
    }
    return result;
}
