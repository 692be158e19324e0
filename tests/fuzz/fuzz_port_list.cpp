// Fuzz target: the port lister on a fake /sys, /dev, /proc and lock folder
// built from the input: any tty names, devices present or not, and every
// file it reads (a UART's type, USB facts, /proc/locks, UUCP lock files)
// possibly a FIFO, a link to /dev/zero, a folder or a huge sparse file. It
// must end, and list the ports, their -P names and their holders as a small
// model of the tree says.
#include <fuzzer/FuzzedDataProvider.h>

#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <cstdlib>
#include <map>
#include <set>

#include "fuzz_support.h"
#include "port_list.h"

namespace {

std::string root;

enum class Kind { kAbsent, kText, kFifo, kLinkToZero, kFolder, kHuge, kLinkToText, kCount };

struct Node {
    Kind kind = Kind::kAbsent;
    std::string text;
};

void Make(const std::string& path, const Node& node) {
    switch (node.kind) {
        case Kind::kAbsent: case Kind::kCount: break;
        case Kind::kText: case Kind::kHuge: {
            const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
            FUZZ_EXPECT(fd >= 0, "create %s", path.c_str());
            FUZZ_EXPECT(write(fd, node.text.data(), node.text.size()) == ssize_t(node.text.size()), "write");
            if (node.kind == Kind::kHuge) FUZZ_EXPECT(ftruncate(fd, 1L << 30) == 0, "ftruncate");
            close(fd);
            break;
        }
        case Kind::kFifo: FUZZ_EXPECT(mkfifo(path.c_str(), 0644) == 0, "mkfifo %s", path.c_str()); break;
        case Kind::kLinkToZero: FUZZ_EXPECT(symlink("/dev/zero", path.c_str()) == 0, "symlink"); break;
        case Kind::kFolder: FUZZ_EXPECT(mkdir(path.c_str(), 0755) == 0, "mkdir %s", path.c_str()); break;
        case Kind::kLinkToText:
            Make(path + ".target", Node{Kind::kText, node.text});
            FUZZ_EXPECT(symlink((path + ".target").c_str(), path.c_str()) == 0, "symlink");
            break;
    }
}

// What the lister may take from a file: the first line of a regular file's
// first page, without its line end and trailing blanks; nothing from
// anything else.
std::string FirstLine(const Node& node) {
    if (node.kind != Kind::kText && node.kind != Kind::kHuge) return "";
    std::string page = node.text;
    if (node.kind == Kind::kHuge) page.resize(std::max<size_t>(page.size(), 4096), '\0');
    page.resize(std::min<size_t>(page.size(), 4096));
    std::string line = page.substr(0, page.find('\n'));
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
    return line;
}

long Pid(const std::string& text) {
    errno = 0;
    const long pid = std::strtol(text.c_str(), nullptr, 10);
    return errno == 0 && pid > 0 && pid <= INT_MAX ? pid : 0;
}

// What a UUCP lock file names: a binary int when the file is exactly
// four bytes, else the number its first 64 bytes start with.
long LockFilePid(const Node& node) {
    if (node.kind != Kind::kText && node.kind != Kind::kHuge) return 0;
    std::string head = node.text;
    if (node.kind == Kind::kHuge) head.resize(std::max<size_t>(head.size(), 64), '\0');
    head.resize(std::min<size_t>(head.size(), 64));
    if (node.kind == Kind::kText && head.size() == sizeof(int32_t)) {
        int32_t pid = 0;
        std::memcpy(&pid, head.data(), sizeof pid);
        return pid > 0 ? pid : 0;
    }
    const long pid = std::strtol(head.c_str(), nullptr, 10);
    return pid > 0 ? pid : 0;
}

Node ConsumeNode(FuzzedDataProvider& input, size_t maxText) {
    Node node;
    node.kind = static_cast<Kind>(input.ConsumeIntegralInRange<int>(0, int(Kind::kCount) - 1));
    node.text = input.ConsumeRandomLengthString(maxText);
    return node;
}

std::string ConsumeName(FuzzedDataProvider& input) {
    static const char* const kNames[] = {"ttyUSB0", "ttyS0", "ttyACM0", "ttyS1", "tty1"};
    if (input.ConsumeBool()) return kNames[input.ConsumeIntegralInRange(0, 4)];
    std::string name = input.ConsumeRandomLengthString(24);
    name.erase(std::remove_if(name.begin(), name.end(), [](char c) { return c == '/' || c == '\0'; }), name.end());
    // Printable, so that the names the lister shows are the names made.
    for (char& c : name)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F || static_cast<unsigned char>(c) == 0xC2) c = 'x';
    // "serial" would be the folder of the by-id links in /dev.
    return name.empty() || name == "." || name == ".." || name == "serial" ? "ttyX" : name;
}

struct Tty {
    std::string name;
    bool device = false;  // a device behind it
    Kind node = Kind::kAbsent;  // its node in /dev
    Node type, vendor, lock;
    bool flock = false;  // /proc/locks names a holder
    uint32_t flockPid = 0;
    std::string alias;  // its by-id link, if any
};

struct Expected {
    std::string option, name;
    long holder;
};

void Clear() {
    nftw(root.c_str(), [](const char* path, const struct stat*, int, FTW*) { return path == root ? 0 : remove(path); },
         8, FTW_DEPTH | FTW_PHYS);
}

void MakeDirs(const std::string& path) {
    for (size_t at = root.size() + 1; at != std::string::npos; at = path.find('/', at + 1))
        mkdir(path.substr(0, at).c_str(), 0755);
    mkdir(path.c_str(), 0755);
}

std::string LockKey(const std::string& device) {
    struct stat st;
    if (stat(device.c_str(), &st) != 0) return "";
    char key[64];
    std::snprintf(key, sizeof key, "%02x:%02x:%lu", major(st.st_dev), minor(st.st_dev),
                  static_cast<unsigned long>(st.st_ino));
    return key;
}

}  // namespace

void SetUpTarget() {
    // In memory where there is a tmpfs: the tree is made again for every
    // input, and a disk's journal makes that a hundred times slower.
    struct stat st;
    root = stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode) ? "/dev/shm" : "/tmp";
    std::string name = root + "/velta-fuzz-ports-XXXXXX";
    FUZZ_EXPECT(mkdtemp(&name[0]) != nullptr, "mkdtemp");
    root = name;
    std::atexit([] {
        Clear();
        rmdir(root.c_str());
    });
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    Clear();
    PortRoots roots;
    roots.sys = root + "/sys";
    roots.dev = root + "/dev";
    roots.proc = root + "/proc";
    const std::string lockDir = root + "/lock";
    roots.lock = {lockDir};
    for (const std::string& dir : {roots.sys + "/class/tty", roots.dev + "/serial/by-id", roots.proc, lockDir})
        MakeDirs(dir);

    std::map<std::string, Tty> ttys;
    for (int n = input.ConsumeIntegralInRange(0, 4); n > 0; --n) {
        Tty t;
        t.name = ConsumeName(input);
        t.device = input.ConsumeBool();
        t.node = input.ConsumeBool() ? Kind::kText : input.ConsumeBool() ? Kind::kFifo : Kind::kAbsent;
        t.type = ConsumeNode(input, 8);
        t.vendor = ConsumeNode(input, 8);
        t.lock = ConsumeNode(input, 16);
        t.flock = input.ConsumeBool();
        t.flockPid = input.ConsumeIntegral<uint32_t>();
        if (input.ConsumeBool()) t.alias = "usb-" + std::to_string(ttys.size());
        ttys.emplace(t.name, t);
    }
    const Node locks = ConsumeNode(input, 64);
    std::set<long> live;
    for (int n = input.ConsumeIntegralInRange(0, 3); n > 0; --n) {
        const long pid = input.ConsumeIntegralInRange<long>(1, 99999);
        live.insert(pid);
        mkdir((roots.proc + "/" + std::to_string(pid)).c_str(), 0755);
    }

    // Each tty under a USB interface: <bus>/<interface>/tty/<name>, its
    // device link up to the interface, the USB facts in the bus folder.
    std::string flockLines;
    int bus = 0;
    for (auto& [name, t] : ttys) {
        const std::string busDir = roots.sys + "/devices/usb" + std::to_string(bus++);
        const std::string ttyDir = busDir + "/1-1:1.0/tty/" + name;
        MakeDirs(ttyDir);
        FUZZ_EXPECT(symlink(ttyDir.c_str(), (roots.sys + "/class/tty/" + name).c_str()) == 0, "class link");
        if (t.device) FUZZ_EXPECT(symlink("../..", (ttyDir + "/device").c_str()) == 0, "device link");
        Make(ttyDir + "/type", t.type);
        Make(busDir + "/idVendor", t.vendor);
        Make(lockDir + "/LCK.." + name, t.lock);
        if (t.node != Kind::kAbsent) Make(roots.dev + "/" + name, Node{t.node, ""});
        if (!t.alias.empty())
            FUZZ_EXPECT(symlink(("../../" + name).c_str(), (roots.dev + "/serial/by-id/" + t.alias).c_str()) == 0,
                        "by-id link");
        const std::string key = LockKey(roots.dev + "/" + name);
        if (t.flock && !key.empty())
            flockLines += "1: FLOCK  ADVISORY  WRITE " + std::to_string(t.flockPid) + " " + key + " 0 EOF\n";
    }
    Node lockTable = locks;
    if (lockTable.kind == Kind::kText || lockTable.kind == Kind::kHuge)
        lockTable.text = flockLines + lockTable.text;
    Make(roots.proc + "/locks", lockTable);
    const bool tableRead = lockTable.kind == Kind::kText || lockTable.kind == Kind::kHuge;

    std::vector<Expected> expected;
    for (const auto& [name, t] : ttys) {
        if (!t.device || t.node == Kind::kAbsent || FirstLine(t.type) == "0") continue;
        long holder = tableRead && t.flock ? Pid(std::to_string(t.flockPid)) : 0;
        if (!holder) {
            const long pid = LockFilePid(t.lock);
            holder = live.count(pid) ? pid : 0;
        }
        const std::string device = t.alias.empty() ? roots.dev + "/" + name : roots.dev + "/serial/by-id/" + t.alias;
        expected.push_back({"-P" + device, name, holder});
    }

    // Paired by their -P names, which differ for every tty made; the
    // lister's own order (numbers by value) is the unit tests' concern. Not
    // by the details: a name may be another's start ("ttyUSB0" and
    // "ttyUSB0  :x"), and the text after it then decides the order.
    std::vector<SerialPort> ports = ListSerialPorts(roots);
    std::sort(ports.begin(), ports.end(), [](const SerialPort& a, const SerialPort& b) { return a.option < b.option; });
    std::sort(expected.begin(), expected.end(),
              [](const Expected& a, const Expected& b) { return a.option < b.option; });
    FUZZ_EXPECT(ports.size() == expected.size(), "%zu ports, model %zu", ports.size(), expected.size());
    for (size_t i = 0; i < ports.size(); ++i) {
        FUZZ_EXPECT(ports[i].option == expected[i].option, "%s, model %s", ports[i].option.c_str(),
                    expected[i].option.c_str());
        FUZZ_EXPECT(ports[i].details.compare(0, expected[i].name.size(), expected[i].name) == 0, "details %s",
                    ports[i].details.c_str());
        FUZZ_EXPECT(ports[i].holder == expected[i].holder, "holder %ld, model %ld", ports[i].holder,
                    expected[i].holder);
        FUZZ_EXPECT(ports[i].inUse == (expected[i].holder != 0), "in use without a holder");
    }
    return 0;
}
