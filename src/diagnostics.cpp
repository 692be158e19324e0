// main: help, version, the port list, the -P hint and the exit statuses.
#include "diagnostics.h"

#include <initializer_list>
#include <string>

#include "console.h"
#include "console_text.h"
#include "port_list.h"
#include "settings.h"

namespace {

// The port that -P1, and no -P at all, stands for.
#ifdef _WIN32
constexpr char kDefaultPort[] = "COM1";
#else
constexpr char kDefaultPort[] = "/dev/ttyS0";
#endif

}  // namespace

int PrintHelp() {
    PrintUsage();
    ConsolePrint(kHelpDefaults, kDefaultPort);
    for (const char* line : kHelpLong) ConsoleText(line);
    return 0;
}

int PrintVersion() {
    ConsolePrint(kVersion, VELTA_VERSION);
    return 0;
}

int PrintPortList() {
    const std::vector<SerialPort> ports = ListSerialPorts();
    for (const SerialPort& port : ports) {
        ConsolePrint("%s  %s", port.option.c_str(), port.details.c_str());
        if (port.holder)
            ConsolePrint(kPortListInUseBy, port.holder);
        else if (port.inUse)
            ConsoleText(kPortListInUse);
        ConsoleText("\n");
    }
    if (ports.empty()) ConsoleError(kNoPortsFound);
    return ports.empty() ? 1 : 0;
}

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// What atoi reads whole: blanks, one sign, digits and nothing after them.
bool IsNumber(const char* s) {
    while (*s == ' ' || *s == '\t') ++s;
    if (*s == '+' || *s == '-') ++s;
    if (!IsDigit(*s)) return false;
    while (IsDigit(*s)) ++s;
    return *s == '\0';
}

// "COM3" (any case) -> "-P3"; empty otherwise.
std::string ComOption(const char* s) {
    if ((s[0] | 0x20) != 'c' || (s[1] | 0x20) != 'o' || (s[2] | 0x20) != 'm' || !IsNumber(s + 3)) return "";
    return std::string("-P") + (s + 3);
}

}  // namespace

void HintPortValue(const char* value) {
    if (!value) return;  // no -P: COM1
    if (*value == '\0') {
        ConsoleError(kPortHintEmpty, PortExample());
        return;
    }
#ifndef _WIN32
    if (*value == '/') return;
#endif
    if (IsNumber(value)) return;
    const std::string com = ComOption(value);
    ConsoleError(kPortHint, value, com.empty() ? PortExample() : com.c_str());
}

int ExitStatusFor(Outcome outcome) {
    switch (outcome) {
        case Outcome::kComplete: return 0;
        case Outcome::kInterrupted: return 2;
        case Outcome::kPortFailed: return 3;
        case Outcome::kFileFailed: return 4;
        case Outcome::kRefused: return 5;
        case Outcome::kLineFailed: return 6;
    }
    return 1;
}
