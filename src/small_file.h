// ports, POSIX: reading a small file that anyone may have swapped for
// something hostile. A lock directory is writable by every local user, and
// a lock file there may be a FIFO (an open or a read that never returns), a
// link to /dev/zero (a line that never ends) or simply huge.
#pragma once

#include <cstddef>
#include <string>

// At most max bytes of the regular file at path, opened without blocking
// and without following a final symbolic link; empty for anything else.
std::string ReadSmallFile(const std::string& path, size_t max);
