// main: help, version, the port list, the -P hint and the exit statuses.
#include "diagnostics.h"

#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <string>

#include "console.h"
#include "console_text.h"
#include "net_link.h"
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

namespace {

using Printer = void (*)(const char* format, ...);

// The text form: the -P argument, the facts, and who holds the port.
void PortLines(const std::vector<SerialPort>& ports, Printer print) {
    for (const SerialPort& port : ports) {
        print("%s  %s", port.option.c_str(), port.details.c_str());
        if (port.holder)
            print(kPortListInUseBy, port.holder);
        else if (port.inUse)
            print(kPortListInUse);
        print("\n");
    }
}

// A JSON string: quotes, backslashes and control bytes escaped; other bytes
// as they are (the system gives the names in UTF-8).
std::string JsonString(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c == 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04X", c);
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

}  // namespace

// One array, an object a line, with the facts of the text form.
std::string PortListJson(const std::vector<SerialPort>& ports) {
    std::string json = "[";
    for (size_t i = 0; i < ports.size(); ++i) {
        const SerialPort& p = ports[i];
        json += std::string(i ? ",\n " : "\n ") + "{\"option\": " + JsonString(p.option) +
                ", \"port\": " + JsonString(p.option.substr(2)) + ", \"details\": " + JsonString(p.details) +
                ", \"usb\": " + (p.usb ? "true" : "false") + ", \"inUse\": " + (p.inUse ? "true" : "false") +
                ", \"holder\": " + (p.holder ? std::to_string(p.holder) : "null") + "}";
    }
    return json + (ports.empty() ? "]\n" : "\n]\n");
}

int PrintPortList() {
    const std::vector<SerialPort> ports = ListSerialPorts();
    if (settings.json)
        ConsolePrint("%s", PortListJson(ports).c_str());
    else
        PortLines(ports, ConsolePrint);
    if (ports.empty()) ConsoleError(kNoPortsFound);
    return ports.empty() ? 1 : 0;
}

bool ChooseAutoPort(TransferSettings* s, const PortRoots& roots) {
    const std::vector<SerialPort> ports = ListSerialPorts(roots);
    std::vector<const SerialPort*> usb;
    for (const SerialPort& port : ports)
        if (port.usb) usb.push_back(&port);
    if (usb.size() == 1) {
        static std::string chosen;
        chosen = usb[0]->option.substr(2);  // past "-P"
        ConsoleError(kAutoPortChosen, usb[0]->option.c_str());
        s->portValue = chosen.c_str();
        s->devicePath = chosen[0] == '/' ? chosen.c_str() : nullptr;
        s->port = std::atoi(chosen.c_str());
        return true;
    }
    if (usb.empty())
        ConsoleError(kAutoPortNone);
    else
        ConsoleError(kAutoPortSeveral, static_cast<unsigned long>(usb.size()));
    PortLines(ports, ConsoleError);
    return false;
}

// Optional like the progress line: a full error stream that nobody reads
// must not hold up the end of the run.
void ReportLineTally() {
    const LineTally& t = lineTally;
    if (t.count == 0) return;
    const bool headerOnLine = settings.binaryMode && (settings.mode == 2 || settings.sendHeader) && t.count > 16;
    char line[200];
    if (headerOnLine)
        std::snprintf(line, sizeof line, Localized(kLineChecksumWithHeader), static_cast<unsigned long>(t.count),
                      static_cast<unsigned long>(t.all.Value()), static_cast<unsigned long>(t.count - 16),
                      static_cast<unsigned long>(t.afterHeader.Value()));
    else
        std::snprintf(line, sizeof line, Localized(kLineChecksum), static_cast<unsigned long>(t.count),
                      static_cast<unsigned long>(t.all.Value()));
    ConsoleErrorIfReady(line);
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
    if (IsNumber(value) || IsNetworkPort(value)) return;
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
        case Outcome::kTimedOut: return 7;
    }
    return 1;
}
