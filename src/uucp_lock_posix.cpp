// ports, POSIX: reading UUCP lock files. Anyone may write into the lock
// directory, so a lock file is read as untrusted: never through a symbolic
// link, never from a FIFO or device (which could block or never end), and
// never more than a pid's worth.
#include "uucp_lock.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

// Ten ASCII digits and a line end (HDB), or a binary int (version 2 UUCP).
constexpr size_t kMaxLockFile = 64;

// The pid a lock file names; 0 when it names none.
long ReadLockFilePid(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return 0;
    struct stat st;
    char text[kMaxLockFile + 1] = {};
    ssize_t n = -1;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) n = read(fd, text, kMaxLockFile);
    close(fd);
    if (n == static_cast<ssize_t>(sizeof(int32_t)) && st.st_size == n) {
        int32_t pid = 0;
        std::memcpy(&pid, text, sizeof pid);
        return pid > 0 ? pid : 0;
    }
    if (n <= 0) return 0;
    char* end = nullptr;
    const long pid = std::strtol(text, &end, 10);
    return end != text && pid > 0 ? pid : 0;
}

// The names a lock for the device may have: LCK..ttyUSB0 by its base name
// (the convention of cu and lockdev), and, for a device in a folder under
// /dev, LCK..pts_3 (minicom's). Symbolic links (/dev/serial/by-id/...) are
// followed first: the lock is taken on the device, whatever it was called.
std::vector<std::string> LockNames(const std::string& path) {
    char resolved[PATH_MAX];
    const std::string device = realpath(path.c_str(), resolved) ? resolved : path;
    std::vector<std::string> names = {device.substr(device.find_last_of('/') + 1)};
    if (device.compare(0, 5, "/dev/") == 0) {
        std::string flat = device.substr(5);
        for (char& c : flat)
            if (c == '/') c = '_';
        if (flat != names[0]) names.push_back(flat);
    }
    return names;
}

}  // namespace

std::vector<std::string> UucpLockDirs() { return {"/var/lock", "/run/lock"}; }

long UucpLockHolder(const std::string& path, const std::vector<std::string>& dirs, const std::string& proc) {
    for (const std::string& name : LockNames(path)) {
        for (const std::string& dir : dirs) {
            const long pid = ReadLockFilePid(dir + "/LCK.." + name);
            struct stat st;
            if (pid > 0 && stat((proc + "/" + std::to_string(pid)).c_str(), &st) == 0) return pid;
        }
    }
    return 0;
}
