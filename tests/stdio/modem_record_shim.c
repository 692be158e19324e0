/* Preloaded (LD_PRELOAD) into a terminal program and what it runs, for the
 * tests of velta on a port it is handed. In velta only, it appends to the
 * file named by VELTA_MODEM_LOG one line at start-up, "start FLAGS0 FLAGS1"
 * (the file status flags of standard input and output as velta got them,
 * octal), and one line for every modem-line request, "TIOCMBIS" and so on,
 * whatever the descriptor. The requests themselves go through unchanged. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

static int InVelta(void) { return strcmp(program_invocation_short_name, "velta") == 0; }

static void Record(const char* line) {
    const char* path = getenv("VELTA_MODEM_LOG");
    if (!path || !InVelta()) return;
    int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return;
    (void)!write(fd, line, strlen(line));
    close(fd);
}

__attribute__((constructor)) static void RecordStart(void) {
    char line[64];
    snprintf(line, sizeof line, "start %o %o\n", fcntl(0, F_GETFL), fcntl(1, F_GETFL));
    Record(line);
}

static const char* ModemRequestName(unsigned long request) {
    switch (request) {
        case TIOCMGET: return "TIOCMGET\n";
        case TIOCMBIS: return "TIOCMBIS\n";
        case TIOCMBIC: return "TIOCMBIC\n";
        case TIOCMSET: return "TIOCMSET\n";
        default: return NULL;
    }
}

int ioctl(int fd, unsigned long request, ...) {
    static int (*real)(int, unsigned long, ...);
    va_list args;
    va_start(args, request);
    void* arg = va_arg(args, void*);
    va_end(args);
    int saved = errno;
    const char* name = ModemRequestName(request);
    if (name) Record(name);
    errno = saved;
    if (!real) real = (int (*)(int, unsigned long, ...))dlsym(RTLD_NEXT, "ioctl");
    return real(fd, request, arg);
}
