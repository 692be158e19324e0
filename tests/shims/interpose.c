/* The parts every shim shares (see shim.h). */
#define _GNU_SOURCE
#include "shim.h"

#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

int RealIoctl(int fd, unsigned long request, void* arg) { return NEXT(ioctl)(fd, request, arg); }

/* Every request the shims look at takes one pointer argument. */
int ioctl(int fd, unsigned long request, ...) {
    va_list args;
    va_start(args, request);
    void* arg = va_arg(args, void*);
    va_end(args);
    return ShimIoctl(fd, request, arg);
}

void AppendToLog(const char* variable, const char* format, ...) {
    const char* path = getenv(variable);
    if (!path) return;
    const int saved = errno;
    char line[256];
    va_list args;
    va_start(args, format);
    int n = vsnprintf(line, sizeof line, format, args);
    va_end(args);
    int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd >= 0) {
        (void)!NEXT(write)(fd, line, n > 0 && n < (int)sizeof line ? (size_t)n : 0);
        NEXT(close)(fd);
    }
    errno = saved;
}

long long NowNs(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (long long)t.tv_sec * 1000000000LL + t.tv_nsec;
}
