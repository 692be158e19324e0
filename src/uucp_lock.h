// ports, POSIX: UUCP lock files (LCK..ttyUSB0 in /var/lock or /run/lock), by
// which minicom, cu and their kind tell each other that a port is taken. The
// port lister reports them and the link refuses a port that one holds.
#pragma once

#include <string>
#include <vector>

// Where lock files live, by convention; a test gives its own.
std::vector<std::string> UucpLockDirs();

// The process that a live lock file in one of dirs names for the device at
// path, 0 if none. A lock counts while <proc>/<pid> exists; a stale one (its
// process gone), an unreadable one, or one that is no regular file does not.
long UucpLockHolder(const std::string& path, const std::vector<std::string>& dirs,
                    const std::string& proc = "/proc");
