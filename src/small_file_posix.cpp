// ports, POSIX: the one way the port code reads a file it cannot trust.
#include "small_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

std::string ReadSmallFile(const std::string& path, size_t max) {
    std::string data;
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return data;
    struct stat st;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        data.resize(max);
        size_t got = 0;
        while (got < max) {
            const ssize_t n = read(fd, &data[got], max - got);
            if (n > 0)
                got += static_cast<size_t>(n);
            else if (n == 0 || errno != EINTR)
                break;
        }
        data.resize(got);
    }
    close(fd);
    return data;
}
