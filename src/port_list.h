// ports: what the system knows about its serial ports without opening any
// (an open raises DTR and RTS, which resets some boards): the list that
// --list-ports prints, and why an open failed, told on the error stream.
#pragma once

#include <string>
#include <vector>

#include "comm.h"

// Where the POSIX lister looks; a test gives it a fake tree. Windows asks
// the system and ignores these.
struct PortRoots {
    std::string sys = "/sys";
    std::string dev = "/dev";
    std::string proc = "/proc";      // locks: who holds a port with flock
    std::vector<std::string> lock = {"/var/lock", "/run/lock"};  // UUCP lock files (LCK..ttyUSB0)
};

struct SerialPort {
    std::string option;   // the exact -P argument: "-P/dev/serial/by-id/...", "-P3"
    std::string details;  // device name, USB vendor:product, maker, product, serial number
    bool inUse = false;   // held by another program, as far as can be told
    long holder = 0;      // its process id, when known
    bool usb = false;     // a USB adapter or board (what --port auto looks for)
};

// Every serial port present, in name order.
std::vector<SerialPort> ListSerialPorts(const PortRoots& roots = PortRoots());

// Error-stream lines after "OpenConnection failed.": the device tried and
// the system's reason, with what the user can do about it.
void ExplainOpenFailure(const CommLink::OpenFailure& failure);

#ifdef _WIN32
// Windows: on the error stream, that the open port stopped answering (an
// unplugged adapter) and the system's reason for the call that failed.
void ExplainLineLost(const std::string& device, int error);
#endif

// The example of a -P argument shown in hints: a path, or a COM number.
const char* PortExample();
