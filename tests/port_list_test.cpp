// The port lister against a fake /sys and /dev tree built the way the
// kernel lays them out: a USB adapter with its stable by-id name, a CDC ACM
// board, a platform UART slot with no hardware behind it, a real UART, and
// a virtual console; "in use" from a real flock seen in the real
// /proc/locks and from a UUCP lock file, and lock files that are anything
// but one. Without sysfs, the macOS layout.
#include <gtest/gtest.h>

#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fcntl.h>
#include <limits.h>

#include <fstream>
#include <functional>

#include "case_table.h"
#include "diagnostics.h"
#include "port_list.h"
#include "program_support.h"

namespace {

class FakeTree {
public:
    FakeTree() : root_(dir_.Path("root")) { roots.sys = root_ + "/sys"; roots.dev = root_ + "/dev";
        roots.lock = {root_ + "/lock"}; roots.proc = "/proc"; }

    // A file with its parent folders.
    void File(const std::string& path, const std::string& content = "") {
        MakeFolders(path.substr(0, path.find_last_of('/')));
        std::ofstream(root_ + "/" + path) << content;
    }
    void Link(const std::string& path, const std::string& target) {
        MakeFolders(path.substr(0, path.find_last_of('/')));
        ASSERT_EQ(symlink(target.c_str(), (root_ + "/" + path).c_str()), 0) << path;
    }
    // A tty as the kernel registers it: its class entry, its folder under the
    // device that drives it (with a "device" link up to it), and its node.
    void Tty(const std::string& name, const std::string& deviceFolder, const std::string& deviceLink) {
        const std::string ttyFolder = deviceFolder + "/tty/" + name;
        File("sys/" + ttyFolder + "/dev", "188:0\n");
        if (!deviceLink.empty()) Link("sys/" + ttyFolder + "/device", deviceLink);
        Link("sys/class/tty/" + name, "../../" + ttyFolder);
        File("dev/" + name);
    }
    // What a USB device says of itself (idVendor, product, ...), one file each.
    void Facts(const std::string& device, std::initializer_list<std::pair<const char*, const char*>> facts) {
        for (const auto& [name, value] : facts) File("sys/" + device + "/" + name, std::string(value) + "\n");
    }
    // A UART slot: its tty, and the type the driver found (0: no hardware).
    void Uart(const std::string& name, const std::string& device, const char* type) {
        Tty(name, device, "../../../" + device.substr(device.rfind('/') + 1));
        File("sys/" + device + "/tty/" + name + "/type", std::string(type) + "\n");
    }
    std::string Path(const std::string& path) const { return root_ + "/" + path; }

    PortRoots roots;

private:
    void MakeFolders(const std::string& path) {
        std::string so_far = root_;
        mkdir(so_far.c_str(), 0755);
        for (size_t at = 0; at != std::string::npos;) {
            const size_t next = path.find('/', at);
            so_far += "/" + path.substr(at, next == std::string::npos ? std::string::npos : next - at);
            mkdir(so_far.c_str(), 0755);
            at = next == std::string::npos ? next : next + 1;
        }
    }

    ScratchDir dir_;
    std::string root_;
};

const char kUsbDevice[] = "devices/pci0000:00/0000:00:14.0/usb1/1-2";
const char kAcmDevice[] = "devices/pci0000:00/0000:00:14.0/usb1/1-3";

void BuildLinuxTree(FakeTree& tree) {
    // FTDI adapter: usb-serial port ttyUSB0 under interface 1-2:1.0.
    const std::string usb = kUsbDevice;
    tree.Facts(usb, {{"idVendor", "0403"}, {"idProduct", "6001"}, {"manufacturer", "FTDI"},
                     {"product", "FT232R USB UART"}, {"serial", "A50285BI"}});
    tree.Tty("ttyUSB0", usb + "/1-2:1.0/ttyUSB0", "../../../ttyUSB0");
    tree.Link("dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0", "../../ttyUSB0");
    // A board with a CDC ACM interface and no by-id link.
    const std::string acm = kAcmDevice;
    tree.Facts(acm, {{"idVendor", "2341"}, {"idProduct", "0043"}, {"manufacturer", "Arduino (www.arduino.cc)"}});
    tree.Tty("ttyACM0", acm + "/1-3:1.0", "../../../1-3:1.0");
    // UART slots: one with a 16550A (type 4), one the driver found empty (type 0).
    tree.Uart("ttyS0", "devices/pnp0/00:04", "4");
    tree.Uart("ttyS1", "devices/platform/serial8250", "0");
    // A virtual console: no device behind it.
    tree.Tty("tty1", "devices/virtual/tty", "");
}

TEST(PortList, LinuxTreeListsRealPortsWithStableNamesAndUsbFacts) {
    FakeTree tree;
    BuildLinuxTree(tree);
    const std::vector<SerialPort> ports = ListSerialPorts(tree.roots);
    ASSERT_EQ(ports.size(), 3u);
    EXPECT_EQ(ports[0].option, "-P" + tree.Path("dev/ttyACM0"));
    EXPECT_EQ(ports[0].details, "ttyACM0  2341:0043 Arduino (www.arduino.cc)");
    EXPECT_EQ(ports[1].option, "-P" + tree.Path("dev/ttyS0"));
    EXPECT_EQ(ports[1].details, "ttyS0");
    EXPECT_EQ(ports[2].option, "-P" + tree.Path("dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0"));
    EXPECT_EQ(ports[2].details, "ttyUSB0  0403:6001 FTDI FT232R USB UART A50285BI");
    for (const SerialPort& port : ports) EXPECT_FALSE(port.inUse) << port.option;
}

// A flock taken by this process shows in the real /proc/locks with our pid;
// a UUCP lock file counts while its process lives, not after.
TEST(PortList, InUseFromFlockAndFromALiveLockFile) {
    FakeTree tree;
    BuildLinuxTree(tree);
    const int fd = open(tree.Path("dev/ttyS0").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
    tree.File("lock/LCK..ttyACM0", "      " + std::to_string(getpid()) + "\n");
    tree.File("lock/LCK..ttyUSB0", "  999999999\n");  // a process long gone
    const std::vector<SerialPort> ports = ListSerialPorts(tree.roots);
    close(fd);
    ASSERT_EQ(ports.size(), 3u);
    EXPECT_TRUE(ports[0].inUse);
    EXPECT_EQ(ports[0].holder, getpid());
    EXPECT_TRUE(ports[1].inUse);
    EXPECT_EQ(ports[1].holder, getpid());
    EXPECT_FALSE(ports[2].inUse);
}

// Lock files are anyone's to write: only a regular file, not followed
// through a link, and a pid in ASCII or as a binary int, counts; nothing
// blocks and nothing grows without end.
struct LockFileCase {
    const char* name;
    std::function<void(FakeTree&, const std::string& lockFile)> make;
    bool inUse;
};

CASE_TABLE(LockFileTest, LockFileCase);

TEST_P(LockFileTest, CountsOnlyAReadableLiveLock) {
    FakeTree tree;
    BuildLinuxTree(tree);
    GetParam().make(tree, "lock/LCK..ttyACM0");
    const std::vector<SerialPort> ports = ListSerialPorts(tree.roots);  // never blocks on a FIFO
    ASSERT_EQ(ports.size(), 3u);
    EXPECT_EQ(ports[0].inUse, GetParam().inUse);
    EXPECT_EQ(ports[0].holder, GetParam().inUse ? getpid() : 0);
}

// The same as a process: `velta --list-ports` in a mount namespace that lays
// a fake tty class over /sys/class/tty and the tree's lock folder over the
// system's. The one class entry is named "null" so that its device,
// /dev/null, exists. The time-out only bounds a hang; it ends at once.
TEST_P(LockFileTest, ListPortsAsAProcessEndsAndSaysTheSame) {
    char lockDir[PATH_MAX];
    if (CurrentTarget().Name() != "native" || geteuid() != 0 || !realpath("/var/lock", lockDir) ||
        RunProcess({"unshare", "--mount", "true"}).exitCode != 0)
        GTEST_SKIP() << "needs the native program, root, /var/lock and unshare --mount";
    FakeTree tree;
    tree.File("class/null/device");
    tree.File("lock/.keep");
    GetParam().make(tree, "lock/LCK..null");
    std::vector<std::string> argv = {"unshare", "--mount", "sh", "-c",
                                     "mount --bind \"$1\" /sys/class/tty && mount --bind \"$2\" \"$3\" && "
                                     "shift 3 && exec \"$@\"",
                                     "sh", tree.Path("class"), tree.Path("lock"), lockDir};
    const ProcessResult r = RunProcess(Joined(argv, CurrentTarget().Command({"--list-ports"})), TargetOptions(), 20);
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.exitCode, 0) << r.errors;
    EXPECT_EQ(r.output, "-P/dev/null  null" + (GetParam().inUse ? Format(kPortListInUseBy, getpid()) : "") + "\n");
}

std::string Ascii(pid_t pid) { return "      " + std::to_string(pid) + "\n"; }

INSTANTIATE_TEST_SUITE_P(
    Locks, LockFileTest,
    ::testing::Values(
        LockFileCase{"AsciiPid", [](FakeTree& t, const std::string& f) { t.File(f, Ascii(getpid())); }, true},
        LockFileCase{"BinaryPid",
                     [](FakeTree& t, const std::string& f) {
                         const int32_t pid = getpid();
                         t.File(f, std::string(reinterpret_cast<const char*>(&pid), sizeof pid));
                     },
                     true},
        LockFileCase{"Stale", [](FakeTree& t, const std::string& f) { t.File(f, "  999999999\n"); }, false},
        LockFileCase{"Garbage", [](FakeTree& t, const std::string& f) { t.File(f, "minicom\n"); }, false},
        LockFileCase{"Fifo",
                     [](FakeTree& t, const std::string& f) {
                         t.File("lock/.keep");
                         ASSERT_EQ(mkfifo(t.Path(f).c_str(), 0644), 0);
                     },
                     false},
        LockFileCase{"SymbolicLink",
                     [](FakeTree& t, const std::string& f) {
                         t.File("elsewhere", Ascii(getpid()));
                         t.Link(f, t.Path("elsewhere"));
                     },
                     false},
        LockFileCase{"LinkToDevZero", [](FakeTree& t, const std::string& f) { t.Link(f, "/dev/zero"); }, false},
        LockFileCase{"Folder", [](FakeTree& t, const std::string& f) { t.File(f + "/inside", "1"); }, false},
        LockFileCase{"PidPastTheFirstBytes",
                     [](FakeTree& t, const std::string& f) { t.File(f, std::string(5000, ' ') + Ascii(getpid())); },
                     false},
        // Sparse: a gigabyte of zeros after the pid costs no disk, and would
        // cost a gigabyte of memory to read whole.
        LockFileCase{"PidThenAGigabyteOfZeros",
                     [](FakeTree& t, const std::string& f) {
                         t.File(f, std::to_string(getpid()));
                         ASSERT_EQ(truncate(t.Path(f).c_str(), 1L << 30), 0);
                     },
                     true},
        // Cut to 32 bits, the number would be our pid.
        LockFileCase{"NumberTooLargeForAPid",
                     [](FakeTree& t, const std::string& f) {
                         t.File(f, std::to_string((1LL << 32) + getpid()) + "\n");
                     },
                     false}),
    CaseName());

// What a USB device says of itself reaches the terminal without its control
// characters, and numbered names sort by number.
TEST(PortList, DeviceStringsArePrintableAndNumbersSortByValue) {
    FakeTree tree;
    const std::string usb = kUsbDevice;
    tree.Facts(usb, {{"idVendor", "0403"}, {"idProduct", "6001"},
                     {"product", "Evil\x1b]0;owned\x07\x1b[2J \xc2\x9b" "31m"}});
    tree.Tty("ttyUSB10", usb + "/1-2:1.0/ttyUSB10", "../../../ttyUSB10");
    tree.Tty("ttyUSB2", usb + "/1-2:1.1/ttyUSB2", "../../../ttyUSB2");
    const std::vector<SerialPort> ports = ListSerialPorts(tree.roots);
    ASSERT_EQ(ports.size(), 2u);
    EXPECT_EQ(ports[0].details, "ttyUSB2  0403:6001 Evil?]0;owned??[2J ?31m");
    EXPECT_EQ(ports[1].option, "-P" + tree.Path("dev/ttyUSB10"));
}

TEST(PortList, WithoutSysfsTheCalloutDevices) {
    FakeTree tree;
    tree.File("dev/cu.usbserial-1410");
    tree.File("dev/tty.usbserial-1410");
    tree.File("dev/cu.Bluetooth-Incoming-Port");
    tree.File("dev/null");
    const std::vector<SerialPort> ports = ListSerialPorts(tree.roots);
    ASSERT_EQ(ports.size(), 2u);
    EXPECT_EQ(ports[0].option, "-P" + tree.Path("dev/cu.Bluetooth-Incoming-Port"));
    EXPECT_EQ(ports[1].option, "-P" + tree.Path("dev/cu.usbserial-1410"));
}

TEST(PortList, NothingBehindAnyTtyListsNothing) {
    FakeTree tree;
    tree.Tty("tty1", "devices/virtual/tty", "");
    tree.Uart("ttyS3", "devices/platform/serial8250", "0");
    EXPECT_TRUE(ListSerialPorts(tree.roots).empty());
}

// ---- --port auto and --list-ports --json ----

// A USB adapter (or a CDC ACM board) the way BuildLinuxTree makes them.
void UsbPort(FakeTree& tree, const std::string& name, const std::string& device, const std::string& vendor) {
    tree.Facts(device, {{"idVendor", vendor.c_str()}, {"idProduct", "6001"}});
    tree.Tty(name, device + "/" + device.substr(device.rfind('/') + 1) + ":1.0/" + name, "../../../" + name);
}

struct AutoCase {
    const char* name;
    std::vector<std::string> usbPorts;  // besides a 16550A at ttyS0
    bool chosen;
    const char* device;  // the port chosen, under the tree's dev
};

CASE_TABLE(AutoPortTest, AutoCase);

TEST_P(AutoPortTest, TheOneUsbPortOrTheListOnTheErrorStream) {
    const AutoCase& c = GetParam();
    FakeTree tree;
    tree.Uart("ttyS0", "devices/pnp0/00:04", "4");
    for (size_t i = 0; i < c.usbPorts.size(); ++i)
        UsbPort(tree, c.usbPorts[i], "devices/pci0000:00/usb1/1-" + std::to_string(i + 2), "040" + std::to_string(i));
    TransferSettings s;
    s.port = 5;
    testing::internal::CaptureStderr();
    const bool chosen = ChooseAutoPort(&s, tree.roots);
    const std::string errors = testing::internal::GetCapturedStderr();
    ASSERT_EQ(chosen, c.chosen) << errors;
    if (chosen) {
        ASSERT_NE(s.devicePath, nullptr);
        EXPECT_EQ(std::string(s.devicePath), tree.Path(std::string("dev/") + c.device));
        EXPECT_EQ(errors, Format(kAutoPortChosen, ("-P" + tree.Path(std::string("dev/") + c.device)).c_str()));
        return;
    }
    EXPECT_EQ(s.devicePath, nullptr);
    EXPECT_EQ(s.port, 5);
    const std::string reason =
        c.usbPorts.empty() ? std::string(kAutoPortNone) : Format(kAutoPortSeveral, static_cast<unsigned long>(c.usbPorts.size()));
    EXPECT_EQ(errors.compare(0, reason.size(), reason), 0) << errors;
    // Then every port, USB or not, as --list-ports shows it.
    for (const SerialPort& port : ListSerialPorts(tree.roots))
        EXPECT_NE(errors.find(port.option + "  " + port.details + "\n"), std::string::npos) << port.option;
}

INSTANTIATE_TEST_SUITE_P(Trees, AutoPortTest,
                         ::testing::Values(AutoCase{"OneUsbPort", {"ttyUSB0"}, true, "ttyUSB0"},
                                           AutoCase{"NoUsbPort", {}, false, nullptr},
                                           AutoCase{"TwoUsbPorts", {"ttyACM0", "ttyUSB0"}, false, nullptr}),
                         CaseName());

TEST(PortList, UsbFromTheDeviceBehindThePortOrTheCalloutName) {
    FakeTree sysfs;
    BuildLinuxTree(sysfs);
    std::vector<bool> usb;
    for (const SerialPort& port : ListSerialPorts(sysfs.roots)) usb.push_back(port.usb);
    EXPECT_EQ(usb, (std::vector<bool>{true, false, true}));  // ttyACM0, ttyS0, ttyUSB0
    FakeTree mac;
    mac.File("dev/cu.usbserial-1410");
    mac.File("dev/cu.Bluetooth-Incoming-Port");
    usb.clear();
    for (const SerialPort& port : ListSerialPorts(mac.roots)) usb.push_back(port.usb);
    EXPECT_EQ(usb, (std::vector<bool>{false, true}));
}

struct JsonCase {
    const char* name;
    std::vector<SerialPort> ports;
    std::string json;
};

SerialPort Port(const std::string& option, const std::string& details, bool usb, bool inUse = false, long holder = 0) {
    SerialPort port;
    port.option = option, port.details = details, port.usb = usb, port.inUse = inUse, port.holder = holder;
    return port;
}

CASE_TABLE(PortJsonTest, JsonCase);

TEST_P(PortJsonTest, OneArrayWithTheFactsEscaped) { EXPECT_EQ(PortListJson(GetParam().ports), GetParam().json); }

INSTANTIATE_TEST_SUITE_P(
    Lists, PortJsonTest,
    ::testing::Values(
        JsonCase{"Empty", {}, "[]\n"},
        JsonCase{"TwoPorts",
                 {Port("-P/dev/ttyS0", "ttyS0", false), Port("-P3", "COM3  USB Serial Port (COM3)", true, true, 42)},
                 "[\n {\"option\": \"-P/dev/ttyS0\", \"port\": \"/dev/ttyS0\", \"details\": \"ttyS0\", \"usb\": false, "
                 "\"inUse\": false, \"holder\": null},\n {\"option\": \"-P3\", \"port\": \"3\", \"details\": \"COM3  USB "
                 "Serial Port (COM3)\", \"usb\": true, \"inUse\": true, \"holder\": 42}\n]\n"},
        JsonCase{"QuotesBackslashesAndControls",
                 {Port("-P/dev/x", "say \"hi\" C:\\ \t\x01", true)},
                 "[\n {\"option\": \"-P/dev/x\", \"port\": \"/dev/x\", \"details\": \"say \\\"hi\\\" C:\\\\ \\u0009\\u0001\", "
                 "\"usb\": true, \"inUse\": false, \"holder\": null}\n]\n"}),
    CaseName());

}  // namespace
