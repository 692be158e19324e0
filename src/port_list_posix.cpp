// ports, POSIX: the serial ports as sysfs describes them (Linux), or the
// callout devices /dev/cu.* (macOS, and any system without sysfs), and why
// a port did not open. Nothing here opens a port. "In use" is what the
// system tells without an open: a flock or fcntl lock in /proc/locks (with
// its process id), or a UUCP lock file whose process still lives; a port
// held only by TIOCEXCL cannot be told apart.
#include "port_list.h"
#include "net_link.h"

#include <dirent.h>
#include <limits.h>
#include <sys/stat.h>
#ifdef __linux__
#include <sys/sysmacros.h>
#endif
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <sstream>

#include "console.h"
#include "console_text.h"
#include "small_file.h"
#include "uucp_lock.h"

namespace {

bool Exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

// Every file read here goes through ReadSmallFile: at most a page of a
// sysfs attribute, a table's worth of /proc/locks or /etc/group.
constexpr size_t kSmallFileMax = 4096;       // a sysfs attribute is at most a page
constexpr size_t kTableMax = 1u << 20;       // /proc/locks, /etc/group: a line per lock or group

// The first line of a small file, without its line end; empty if unreadable.
std::string ReadLine(const std::string& path) {
    std::string line = ReadSmallFile(path, kSmallFileMax);
    line.erase(std::min(line.find('\n'), line.size()));
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
    return line;
}

// A process id written in decimal, leading blanks allowed; 0 if none fits.
long ParsePid(const std::string& text) {
    errno = 0;
    const long pid = std::strtol(text.c_str(), nullptr, 10);
    return errno == 0 && pid > 0 && pid <= INT_MAX ? pid : 0;
}

// A USB device names itself: its strings reach the user's terminal, so a
// control character (an escape sequence, in 7 or 8 bits) shows as '?'.
std::string Printable(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        const bool c1InUtf8 = c == 0xC2 && i + 1 < text.size() && (text[i + 1] & 0xE0) == 0x80;
        if (c < 0x20 || c == 0x7F || c1InUtf8) {
            out += '?';
            i += c1InUtf8;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

// Name order with numbers by value: ttyUSB2 before ttyUSB10.
bool NaturalLess(const std::string& a, const std::string& b) {
    auto digit = [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; };
    size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (!digit(a[i]) || !digit(b[j])) {
            if (a[i] != b[j]) return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[j]);
            ++i, ++j;
            continue;
        }
        while (i < a.size() && a[i] == '0') ++i;
        while (j < b.size() && b[j] == '0') ++j;
        size_t ei = i, ej = j;
        while (ei < a.size() && digit(a[ei])) ++ei;
        while (ej < b.size() && digit(b[ej])) ++ej;
        const std::string x = a.substr(i, ei - i), y = b.substr(j, ej - j);
        if (x.size() != y.size() || x != y) return x.size() != y.size() ? x.size() < y.size() : x < y;
        i = ei, j = ej;
    }
    return a.size() - i < b.size() - j;
}

std::vector<std::string> Entries(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d))
            if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
        closedir(d);
    }
    std::sort(names.begin(), names.end(), NaturalLess);
    return names;
}

std::string BaseName(const std::string& path) {
    const std::string::size_type slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Device name -> its stable name under <dev>/serial/by-id, which survives
// replugging and says which adapter it is.
std::map<std::string, std::string> StableNames(const std::string& dev) {
    std::map<std::string, std::string> names;
    const std::string dir = dev + "/serial/by-id";
    for (const std::string& entry : Entries(dir)) {
        char target[PATH_MAX];
        const ssize_t n = readlink((dir + "/" + entry).c_str(), target, sizeof target - 1);
        if (n <= 0) continue;
        target[n] = '\0';
        names.emplace(BaseName(target), dir + "/" + entry);
    }
    return names;
}

// "vendor:product maker product serial" of the USB device above the port.
std::string UsbDetails(const std::string& sys, const std::string& ttyDir) {
    char device[PATH_MAX], root[PATH_MAX];
    if (!realpath((ttyDir + "/device").c_str(), device) || !realpath(sys.c_str(), root)) return "";
    const std::string top = root;
    for (std::string dir = device; dir.size() > top.size(); dir = dir.substr(0, dir.find_last_of('/'))) {
        if (!Exists(dir + "/idVendor")) continue;
        std::string details = ReadLine(dir + "/idVendor") + ":" + ReadLine(dir + "/idProduct");
        for (const char* fact : {"/manufacturer", "/product", "/serial"}) {
            const std::string value = ReadLine(dir + fact);
            if (!value.empty()) details += " " + value;
        }
        return Printable(details);
    }
    return "";
}

// The process holding a lock on the file at path, from <proc>/locks; 0 if
// none. A line reads "1: FLOCK  ADVISORY  WRITE 1234 00:05:87 0 EOF": the
// pid stands before major:minor:inode (hexadecimal, hexadecimal, decimal).
long LockHolder(const std::string& proc, const std::string& path) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return 0;
    char key[64];
    std::snprintf(key, sizeof key, "%02x:%02x:%lu", major(st.st_dev), minor(st.st_dev),
                  static_cast<unsigned long>(st.st_ino));
    std::istringstream locks(ReadSmallFile(proc + "/locks", kTableMax));
    for (std::string line; std::getline(locks, line);) {
        std::istringstream fields(line);
        std::vector<std::string> f;
        for (std::string word; fields >> word;) f.push_back(word);
        if (f.size() < 2 || f[1] == "->") continue;  // a process waiting for the lock
        for (size_t i = 1; i < f.size(); ++i)
            if (f[i] == key) return ParsePid(f[i - 1]);
    }
    return 0;
}

void NoteHolder(const PortRoots& roots, const std::string& device, SerialPort* port) {
    port->holder = LockHolder(roots.proc, device);
    if (!port->holder) port->holder = UucpLockHolder(device, roots.lock, roots.proc);
    port->inUse = port->holder != 0;
}

std::vector<SerialPort> SysfsPorts(const PortRoots& roots, const std::string& classDir) {
    std::vector<SerialPort> ports;
    const std::map<std::string, std::string> stable = StableNames(roots.dev);
    for (const std::string& name : Entries(classDir)) {
        const std::string ttyDir = classDir + "/" + name;
        const std::string device = roots.dev + "/" + name;
        // Virtual consoles and pseudo-terminals have no device behind them.
        if (!Exists(ttyDir + "/device") || !Exists(device)) continue;
        // A UART slot the driver probed and found nothing in ("unknown").
        if (ReadLine(ttyDir + "/type") == "0") continue;
        SerialPort port;
        const auto link = stable.find(name);
        port.option = Printable("-P" + (link != stable.end() ? link->second : device));
        port.details = Printable(name);
        const std::string usb = UsbDetails(roots.sys, ttyDir);
        if (!usb.empty()) port.details += "  " + usb;
        port.usb = !usb.empty();
        NoteHolder(roots, device, &port);
        ports.push_back(port);
    }
    return ports;
}

// Without sysfs (macOS): the callout devices, which open without waiting
// for carrier.
std::vector<SerialPort> CalloutPorts(const PortRoots& roots) {
    std::vector<SerialPort> ports;
    for (const std::string& name : Entries(roots.dev)) {
        if (name.compare(0, 3, "cu.") != 0) continue;
        SerialPort port;
        port.option = Printable("-P" + roots.dev + "/" + name);
        port.details = Printable(name);
        port.usb = name.find("usb") != std::string::npos;  // cu.usbserial-*, cu.usbmodem*
        NoteHolder(roots, roots.dev + "/" + name, &port);
        ports.push_back(port);
    }
    return ports;
}

void ListExistingPorts() {
    std::string options;
    for (const SerialPort& port : ListSerialPorts()) options += " " + port.option;
    if (options.empty())
        ConsoleError(kNoPortsFound);
    else
        ConsoleError(kPortsThatExist, options.c_str());
}

// The name of a group as /etc/group gives it, or its number when the file
// does not list it (usermod and dseditgroup take either). Not getgrgid: in a
// statically linked program glibc's name service has to load the shared
// libnss modules of the glibc it was built with, which another system (or
// an empty root) does not have; device groups (dialout, uucp) live in the
// file on every system anyway.
std::string GroupName(gid_t gid) {
    std::istringstream in(ReadSmallFile("/etc/group", kTableMax));
    for (std::string line; std::getline(in, line);) {
        // name:password:gid:members
        const size_t first = line.find(':');
        const size_t second = first == std::string::npos ? first : line.find(':', first + 1);
        if (second == std::string::npos) continue;
        const std::string number = line.substr(second + 1, line.find(':', second + 1) - second - 1);
        if (first > 0 && number == std::to_string(gid)) return line.substr(0, first);
    }
    return std::to_string(gid);
}

// The group that may open the device, and the command that adds the user
// to it; nothing when group members may not read and write it either.
void GroupHint(const std::string& device) {
    struct stat st;
    if (stat(device.c_str(), &st) != 0 || st.st_gid == 0) return;
    if ((st.st_mode & (S_IRGRP | S_IWGRP)) != (S_IRGRP | S_IWGRP)) return;
    const std::string group = GroupName(st.st_gid);
    char command[160];
#ifdef __APPLE__
    std::snprintf(command, sizeof command, "sudo dseditgroup -o edit -a $USER -t user %s", group.c_str());
#else
    std::snprintf(command, sizeof command, "sudo usermod -aG %s $USER", group.c_str());
#endif
    ConsoleError(kPortGroup, device.c_str(), group.c_str(), command);
}

}  // namespace

std::vector<SerialPort> ListSerialPorts(const PortRoots& roots) {
    const std::string classDir = roots.sys + "/class/tty";
    return Exists(classDir) ? SysfsPorts(roots, classDir) : CalloutPorts(roots);
}

void ExplainOpenFailure(const CommLink::OpenFailure& failure) {
    const char* device = failure.device.c_str();
    const char* reason = std::strerror(failure.error);
    switch (failure.step) {
        case CommLink::OpenStep::kNone:
        case CommLink::OpenStep::kCooked:  // --stdio opens nothing
            return;
        case CommLink::OpenStep::kNetwork:
            ExplainNetworkFailure(failure.device, failure.error);
            return;
        case CommLink::OpenStep::kSettings:
            ConsoleError(failure.error == ENOTTY ? kPortNotTerminal : kPortSettingsRefused, device, reason);
            return;
        case CommLink::OpenStep::kLock:
        case CommLink::OpenStep::kOpen:
            break;
    }
    // flock says "would block"; another program's TIOCEXCL makes open say "busy".
    if (failure.step == CommLink::OpenStep::kLock || failure.error == EBUSY) {
        SerialPort port;
        NoteHolder(PortRoots(), failure.device, &port);
        if (port.holder)
            ConsoleError(kPortBusyBy, device, port.holder);
        else
            ConsoleError(kPortBusy, device, reason);
        return;
    }
    ConsoleError(kCannotOpenBecause, device, reason);
    if (failure.error == ENOENT || failure.error == ENODEV || failure.error == ENXIO || failure.error == EIO)
        ListExistingPorts();
    else if (failure.error == EACCES || failure.error == EPERM)
        GroupHint(failure.device);
}

const char* PortExample() {
#ifdef __APPLE__
    return "-P/dev/cu.usbserial-1410";
#else
    return "-P/dev/ttyUSB0";
#endif
}
