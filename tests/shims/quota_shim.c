/* Preloaded (LD_PRELOAD) into velta: the file named by VELTA_QUOTA_FILE sits
 * on a file system that reports a full quota only when the data reaches the
 * server, as NFS does: writes succeed, fsync fails with EDQUOT (and so would
 * close, which the C library calls from inside, out of this shim's reach). */
#define _GNU_SOURCE
#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "shim.h"

static int OverQuota(int fd) {
    const char* path = getenv("VELTA_QUOTA_FILE");
    char link[64], target[PATH_MAX];
    if (!path) return 0;
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, target, sizeof target - 1);
    if (n <= 0) return 0;
    target[n] = '\0';
    return strcmp(target, path) == 0;
}

int fsync(int fd) {
    if (OverQuota(fd)) {
        errno = EDQUOT;
        return -1;
    }
    return NEXT(fsync)(fd);
}
