/* What the preloaded shims share: the next definition of a function a shim
 * interposes, the one ioctl interposer (it hands each request to the shim's
 * own ShimIoctl), a line appended to the log an environment variable names,
 * and the monotonic clock. Each shim is built from its own file and
 * interpose.c, never with sanitizers: it runs inside programs that are not
 * built with them (Wine, picocom). */
#pragma once

#include <dlfcn.h>

/* The definition after ours of a function we interpose, looked up once. */
#define NEXT(name)                                                                     \
    ({                                                                                 \
        static __typeof__(&name) next_;                                                \
        if (!next_) next_ = (__typeof__(&name))dlsym(RTLD_NEXT, #name);                \
        next_;                                                                         \
    })

/* Two shims may be preloaded together (the modem-line shim and a queue
 * model under Wine): what they share stays inside each, so that one shim's
 * ioctl never calls the other's answer. */
#define SHIM_OWN __attribute__((visibility("hidden")))

/* The shim's answer to an ioctl; RealIoctl passes one on unchanged. */
SHIM_OWN int ShimIoctl(int fd, unsigned long request, void* arg);
SHIM_OWN int RealIoctl(int fd, unsigned long request, void* arg);

/* printf-style, one write to the end of the file named by the variable;
 * nothing when it is not set. Written around any write() a shim interposes. */
SHIM_OWN void AppendToLog(const char* variable, const char* format, ...) __attribute__((format(printf, 2, 3)));

SHIM_OWN long long NowNs(void);
