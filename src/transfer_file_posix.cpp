// transfer: the file of a transfer on POSIX. It is opened non-blocking, so
// neither a FIFO nor a device can hold the open; the descriptor stays
// non-blocking and writes that would block wait on the abort as well.
#include "transfer_file.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "abort_wait.h"

namespace {

constexpr long kRetryMs = 50;

// A FIFO has no writer side until a reader comes: try again until then.
int OpenToReceive(const char* name) {
    for (;;) {
        int fd = open(name, O_WRONLY | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != ENXIO || !NapUnlessAborted(kRetryMs)) return fd;
    }
}

}  // namespace

FILE* OpenTransferFile(const char* name, bool forSending) {
    int fd = forSending ? open(name, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC) : OpenToReceive(name);
    if (fd < 0) return nullptr;
    FILE* file = fdopen(fd, forSending ? "rb" : "wb");
    if (!file) close(fd);
    return file;
}

bool RegularFileLength(FILE* file, uint64_t* length) {
    struct stat st;
    if (fstat(fileno(file), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 0) return false;
    *length = static_cast<uint64_t>(st.st_size);
    return true;
}

bool EmptyTransferFile(FILE* file) {
    struct stat st;
    const int fd = fileno(file);
    if (fstat(fd, &st) != 0) return false;
    return !S_ISREG(st.st_mode) || ftruncate(fd, 0) == 0;
}

bool FlushTransferFile(FILE* file) {
    if (std::fflush(file) != 0) return false;
    // Pipes, terminals and devices cannot be synced, and need not be.
    return fsync(fileno(file)) == 0 || errno == EINVAL || errno == EROFS || errno == ENOTSUP;
}

bool WriteTransferFile(FILE* file, const void* data, size_t count) {
    const int fd = fileno(file);
    const char* next = static_cast<const char*>(data);
    while (count > 0) {
        ssize_t n = write(fd, next, count);
        if (n > 0) {
            next += n;
            count -= static_cast<size_t>(n);
        } else if (n < 0 && errno == EAGAIN) {
            if (!WaitUnlessAborted(fd, POLLOUT)) return false;
        } else if (n == 0 || errno != EINTR) {
            return false;
        }
    }
    return true;
}
