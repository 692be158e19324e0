/* In the test guest: plays the device on the far end of a line that the
 * guest itself holds, such as the USB gadget's /dev/ttyGS0 behind cdc-acm.
 * Runs in the background beside uart_case and stops on SIGTERM.
 *
 *   line_device collect PORT OUT_FILE [-x BYTES]
 *   line_device write PORT IN_FILE [-c CHUNK] [-g MILLISECONDS] [-w SECONDS]
 *
 * collect: stores every byte that arrives in OUT_FILE. -x: once BYTES have
 *     come, takes what is already there, answers XOFF (and never XON), and
 *     counts what still comes.
 * write: after -w SECONDS writes IN_FILE, CHUNK bytes (default all) every
 *     -g MILLISECONDS.
 * Once the port is set up, creates /tmp/device.ready: the program under test
 * starts only then, or its first bytes would meet a line still cooked, or
 * the flush of what an earlier case left.
 * At the end prints "@@DEVICE bytes=N span=S after_xoff=K": the bytes
 * collected or written, the seconds from the first to the last, and the
 * bytes after the XOFF (-1 when none was sent). */
#define _GNU_SOURCE
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

static volatile sig_atomic_t stopping = 0;

static void OnTerm(int sig) {
    (void)sig;
    stopping = 1;
}

static double Now(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec + t.tv_nsec / 1e9;
}

static int OpenRaw(const char* path) {
    int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK);
    struct termios t;
    if (fd >= 0 && tcgetattr(fd, &t) == 0) {
        cfmakeraw(&t);
        t.c_cc[VMIN] = 0;
        t.c_cc[VTIME] = 0;
        tcsetattr(fd, TCSANOW, &t);
        tcflush(fd, TCIFLUSH); /* what an earlier case left */
    }
    return fd;
}

static long Drain(int fd, FILE* out) {
    long total = 0;
    unsigned char buffer[4096];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0) {
        fwrite(buffer, 1, (size_t)n, out);
        total += n;
    }
    return total;
}

static int Collect(int fd, const char* path, long xoffAfter) {
    FILE* out = fopen(path, "wb");
    if (!out) return 1;
    long total = 0, afterXoff = -1;
    double first = 0, last = 0;
    while (!stopping) {
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 20) <= 0) continue;
        long n = Drain(fd, out);
        if (n <= 0) continue;
        last = Now();
        if (total == 0) first = last;
        total += n;
        if (afterXoff >= 0) afterXoff += n;
        if (xoffAfter >= 0 && afterXoff < 0 && total >= xoffAfter) {
            total += Drain(fd, out);
            (void)!write(fd, "\x13", 1);
            afterXoff = 0;
        }
    }
    fclose(out);
    printf("@@DEVICE bytes=%ld span=%.3f after_xoff=%ld\n", total, total ? last - first : 0.0, afterXoff);
    return 0;
}

static int Write(int fd, const char* path, long chunk, long gapMs, double waitS) {
    FILE* in = fopen(path, "rb");
    if (!in) return 1;
    static unsigned char data[1 << 20];
    long size = (long)fread(data, 1, sizeof data, in), done = 0;
    fclose(in);
    const double start = Now();
    while (!stopping && Now() - start < waitS) usleep(10000);
    double first = Now();
    while (!stopping && done < size) {
        long n = chunk > 0 && chunk < size - done ? chunk : size - done;
        ssize_t w = write(fd, data + done, (size_t)n);
        if (w > 0) done += w;
        if (gapMs > 0 || w <= 0) usleep((useconds_t)(gapMs > 0 ? gapMs * 1000 : 2000));
    }
    const double last = Now();
    while (!stopping) usleep(10000);
    printf("@@DEVICE bytes=%ld span=%.3f after_xoff=-1\n", done, last - first);
    return 0;
}

int main(int argc, char** argv) {
    if (argc < 4) return 2;
    const char* mode = argv[1];
    const char* port = argv[2];
    const char* file = argv[3];
    long xoffAfter = -1, chunk = 0, gapMs = 0;
    double waitS = 0;
    int opt;
    optind = 4;
    while ((opt = getopt(argc, argv, "x:c:g:w:")) != -1) {
        if (opt == 'x') xoffAfter = atol(optarg);
        else if (opt == 'c') chunk = atol(optarg);
        else if (opt == 'g') gapMs = atol(optarg);
        else if (opt == 'w') waitS = atof(optarg);
        else return 2;
    }
    signal(SIGTERM, OnTerm);
    int fd = OpenRaw(port);
    if (fd < 0) {
        printf("@@DEVICE none\n");
        return 1;
    }
    close(open("/tmp/device.ready", O_WRONLY | O_CREAT, 0644));
    if (strcmp(mode, "collect") == 0) return Collect(fd, file, xoffAfter);
    if (strcmp(mode, "write") == 0) return Write(fd, file, chunk, gapMs, waitS);
    return 2;
}
