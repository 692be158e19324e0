// velta-sim: the command line. Options are --name VALUE or --name=VALUE;
// addresses are hexadecimal as on velta's own command line, counts decimal,
// times in (fractional) seconds.
#include "sim_options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <map>
#include <type_traits>
#include <vector>

namespace sim {

namespace {

const char kHelp[] =
    "Usage: velta-sim [options]              load what the PC sends (the default)\n"
    "       velta-sim --send FILE [options]  send FILE to the PC\n"
    "\n"
    "A stand-in for the device that velta talks to. Without --port it creates a\n"
    "pseudo-terminal and prints its path on the first line of its output; give\n"
    "that path to velta with -P. Every later line is one event or one result,\n"
    "led by a word and a colon (ready:, complete:, sending:, taken: ...).\n"
    "\n"
    "The line:\n"
    "  --port PATH      use this serial device instead of a pseudo-terminal\n"
    "  --link PATH      also make PATH a symbolic link to the pseudo-terminal\n"
    "  --baud N         line rate in bit/s (default 9600): at most one byte per\n"
    "                   character time (10 bits) is taken or sent\n"
    "  --xonxoff        software flow control: when loading, a 32-byte input\n"
    "                   buffer is worked off at two thirds of the line rate and\n"
    "                   the PC is held with XOFF (0x13) while it is nearly full,\n"
    "                   released with XON (0x11); when sending, XOFF and XON\n"
    "                   from the PC stop and resume the output\n"
    "  --text           text: bytes up to and including 0x1A, no header\n"
    "  --sessions N     N transfers one after another (default 1); faults are\n"
    "                   played in the first one only\n"
    "  --wait-stdin     wait for the operator's \"go\": a line on standard input\n"
    "                   or the signal SIGUSR1. Loading: every transfer after the\n"
    "                   first waits for it and drops what the line held before;\n"
    "                   a go during a transfer ends it and starts the next.\n"
    "                   Sending: every transfer waits for it.\n"
    "\n"
    "Loading (the PC sends):\n"
    "  A binary transfer is a 16-byte header (FF FE 4D, totalSize, load and run\n"
    "  address) and totalSize-16 data bytes, stored into a 64 KiB memory image\n"
    "  at the load address. Text goes into the image at --load (default 2000).\n"
    "  Each transfer ends with one result line: verdict, byte count, addresses\n"
    "  and the CRC-32 of the data (of the text, 0x1A included).\n"
    "  --idle SECONDS   a transfer under way that hears nothing for this long\n"
    "                   has ended incomplete (default 5)\n"
    "  --save FILE      write the data that arrived (not the header; the text\n"
    "                   with its 0x1A) to FILE after each transfer\n"
    "  --linger SECONDS keep the line open this long after the last transfer\n"
    "                   (default 0), as a device stays on its cable\n"
    "  --hang-after N   fault: after N bytes send XOFF and take nothing more, as\n"
    "                   a hung device, for --idle seconds (0: hold the line with\n"
    "                   XOFF before the PC even opens it)\n"
    "\n"
    "Sending (the PC receives):\n"
    "  A binary file is sent with a header built from --load and --run, or\n"
    "  with its own when it starts with one (FF FE 4D, at least 16 bytes), then\n"
    "  the totalSize-16 data bytes that follow it. With --text the file's\n"
    "  bytes go out up to its first 0x1A, or all of them and a 0x1A after.\n"
    "  --load ADDR      load address, hexadecimal (default 2000)\n"
    "  --run ADDR       run address, hexadecimal (default 0000)\n"
    "  --wait-open      start when the PC opens the line (on the pseudo-terminal\n"
    "                   the PC discards what was pending and sets the line up;\n"
    "                   a device sees DSR or DCD come up)\n"
    "  --delay SECONDS  wait this long before sending (after --wait-open or\n"
    "                   --wait-stdin, if given)\n"
    "  --linger SECONDS keep the line open this long after the PC has read\n"
    "                   everything, or nothing more for 2 s (default 1);\n"
    "                   closing the line hangs it up\n"
    "  --burst N        hand the bytes over N at a time, each group when the line\n"
    "                   has carried it (default: 10 ms of the line at once, at\n"
    "                   least 1), as a UART without FIFO (1) or a 16550 (8) would\n"
    "  --stop-after N   fault: fall silent after N bytes (header included)\n"
    "  --short N        fault: announce N bytes more than are sent\n"
    "  --bad-size       fault: announce a totalSize of 8, below the header's 16\n"
    "  --garbage        fault: 16 bytes of noise instead of the header\n"
    "\n"
    "Exit status:\n"
    "  0  loaded complete and intact, or everything sent as asked\n"
    "  1  incomplete: the line fell silent (or the operator said go) before\n"
    "     the announced length or the 0x1A; or a hang as asked\n"
    "  2  command-line error\n"
    "  3  the port, the pseudo-terminal or a file could not be used\n"
    "  4  wrong magic: the first three bytes were not FF FE 4D\n"
    "  5  bad size: the header's totalSize is below 16\n"
    "  6  overrun: the data runs past the end of the 64 KiB image\n"
    "  7  interrupted by a signal before the end\n"
    "With --sessions the status is that of the first transfer that failed.\n";

bool ParseUnsigned(const std::string& text, int base, unsigned long max, unsigned long* out) {
    if (text.empty() || text[0] == '-' || text[0] == '+') return false;
    errno = 0;
    char* end = nullptr;
    unsigned long v = std::strtoul(text.c_str(), &end, base);
    if (errno != 0 || *end != '\0' || v > max) return false;
    *out = v;
    return true;
}

bool ParseSeconds(const std::string& text, double* out) {
    if (text.empty()) return false;
    char* end = nullptr;
    double v = std::strtod(text.c_str(), &end);
    if (*end != '\0' || !std::isfinite(v) || v < 0 || v > 86400) return false;
    *out = v;
    return true;
}

using Setter = std::function<bool(const std::string&)>;

// How one option is taken: whether it takes a value, and what to do with it
// (false when the value is refused).
struct OptionRule {
    bool takesValue;
    Setter set;
};

std::map<std::string, OptionRule> OptionRules(Options* o) {
    auto flag = [](bool* field) { return OptionRule{false, [field](const std::string&) { return *field = true; }}; };
    auto count = [](auto* field, unsigned long max, unsigned long min = 0) {
        return OptionRule{true, [field, max, min](const std::string& v) {
                              unsigned long n;
                              if (!ParseUnsigned(v, 10, max, &n) || n < min) return false;
                              *field = static_cast<std::remove_pointer_t<decltype(field)>>(n);
                              return true;
                          }};
    };
    auto address = [](uint16_t* field, bool* given) {
        return OptionRule{true, [field, given](const std::string& v) {
                              unsigned long n;
                              if (!ParseUnsigned(v, 16, 0xFFFF, &n)) return false;
                              *field = static_cast<uint16_t>(n);
                              *given = true;
                              return true;
                          }};
    };
    auto seconds = [](double* field) {
        return OptionRule{true, [field](const std::string& v) { return ParseSeconds(v, field); }};
    };
    auto text = [](std::string* field) {
        return OptionRule{true, [field](const std::string& v) {
                              *field = v;
                              return !v.empty();
                          }};
    };
    return {
        {"port", text(&o->port)},
        {"link", text(&o->link)},
        {"baud", count(&o->baud, 4000000, 50)},
        {"xonxoff", flag(&o->xonxoff)},
        {"text", flag(&o->text)},
        {"wait-stdin", flag(&o->waitStdin)},
        {"idle", seconds(&o->idle)},
        {"save", text(&o->save)},
        {"sessions", count(&o->sessions, 1000000, 1)},
        {"hang-after", count(&o->hangAfter, 0x7FFFFFFF)},
        {"send", OptionRule{true, [o](const std::string& v) {
                                o->send = true;
                                o->sendFile = v;
                                return !v.empty();
                            }}},
        {"load", address(&o->load, &o->loadGiven)},
        {"run", address(&o->run, &o->runGiven)},
        {"wait-open", flag(&o->waitOpen)},
        {"delay", seconds(&o->delay)},
        {"linger", seconds(&o->linger)},
        {"burst", count(&o->burst, 4096, 1)},
        {"stop-after", count(&o->stopAfter, 0x7FFFFFFF)},
        {"short", count(&o->shortBy, 0xFFFFFF)},
        {"bad-size", flag(&o->badSize)},
        {"garbage", flag(&o->garbage)},
    };
}

// Options that belong to one direction only, so that a mistaken command
// line is refused instead of silently doing something else.
std::string CheckCombination(const Options& o, const std::map<std::string, bool>& seen) {
    static const std::vector<std::string> loadOnly = {"idle", "save", "hang-after"};
    static const std::vector<std::string> sendOnly = {"run", "wait-open", "delay", "burst",
                                                      "stop-after", "short", "bad-size", "garbage"};
    for (const std::string& name : o.send ? loadOnly : sendOnly)
        if (seen.count(name))
            return std::string("--") + name + (o.send ? " is for loading, not with --send" : " needs --send");
    if (!o.port.empty() && !o.link.empty()) return "--link is for the pseudo-terminal, not with --port";
    if (o.text && (o.shortBy || o.badSize || o.garbage)) return "--short, --bad-size and --garbage are for binary transfers";
    if (o.badSize + o.garbage + (o.shortBy > 0) > 1) return "choose one of --short, --bad-size and --garbage";
    return "";
}

}  // namespace

Parse ParseOptions(int argc, char** argv, Options* options, std::string* error) {
    std::map<std::string, OptionRule> rules = OptionRules(options);
    std::map<std::string, bool> seen;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") return Parse::kHelp;
        if (arg.compare(0, 2, "--") != 0) {
            *error = "unexpected argument '" + arg + "'";
            return Parse::kError;
        }
        std::string name = arg.substr(2), value;
        bool inlineValue = false;
        size_t eq = name.find('=');
        if (eq != std::string::npos) {
            value = name.substr(eq + 1);
            name = name.substr(0, eq);
            inlineValue = true;
        }
        auto rule = rules.find(name);
        if (rule == rules.end()) {
            *error = "unknown option --" + name;
            return Parse::kError;
        }
        if (rule->second.takesValue && !inlineValue) {
            if (i + 1 >= argc) {
                *error = "--" + name + " needs a value";
                return Parse::kError;
            }
            value = argv[++i];
        } else if (!rule->second.takesValue && inlineValue) {
            *error = "--" + name + " takes no value";
            return Parse::kError;
        }
        if (!rule->second.set(value)) {
            *error = "bad value '" + value + "' for --" + name;
            return Parse::kError;
        }
        seen[name] = true;
    }
    *error = CheckCombination(*options, seen);
    return error->empty() ? Parse::kRun : Parse::kError;
}

const char* HelpText() { return kHelp; }

}  // namespace sim
